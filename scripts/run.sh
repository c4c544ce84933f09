#!/usr/bin/env bash
# The main job, as a calling script on the production line runs it: the virtual
# unit on a pseudo-terminal behind a COM port, QB2LINK.EXE under Wine, the
# "\Device\Serial2" registry value appearing as the unit's USB driver would add it,
# then the result file, the exit value and the time taken. Builds what is missing.
#
#   bash scripts/run.sh              unit plugged in at start (OK:7, exit value 7)
#   bash scripts/run.sh --port 12    the unit on COM12
#   bash scripts/run.sh --late 6     plugged in 6 s after start: too late (ERR:1)
#   bash scripts/run.sh --never      never plugged in (ERR:1 after ten seconds)
#   bash scripts/run.sh --bench      QB2BENCH.EXE on the unit's COM port (--port N
#                                    too), on $DISPLAY, or under Xvfb without one;
#                                    ends when the bench is closed
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

args=("$@")
port=7 late=0 never=0 bench=0
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=$2; shift 2 ;;
    --late) late=$2; shift 2 ;;
    --never) never=1; shift ;;
    --bench) bench=1; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "run: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

if [ -z "${QB2_RUN_READY:-}" ]; then
  if [ "$bench" = 1 ]; then bash scripts/setup.sh bench; else bash scripts/setup.sh run; fi
  # Go on in a new shell: this one's C library looked for the locale archive when
  # it started, so a Japanese locale the set-up has only just generated would not
  # be found when tools/wine/env.sh sets LC_ALL (bash would warn about it).
  QB2_RUN_READY=1 exec bash "$root/scripts/run.sh" "${args[@]}"
fi
exe=QB2LINK
[ "$bench" = 1 ] && exe=QB2BENCH
if [ "$bench" = 1 ] && [ -z "${DISPLAY:-}" ]; then
  echo "run: no display: the bench runs under Xvfb"
  exec xvfb-run -a -s "-screen 0 1600x900x24" bash "$root/scripts/run.sh" "${args[@]}"
fi
win=build/win64 native=build/native
if [ ! -f "$win/app/$exe.EXE" ] || [ ! -f "$win/tools/winctl/qb2winctl.exe" ]; then
  echo "run: building $exe.EXE"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target "$exe" qb2winctl >/dev/null
fi
if [ ! -x "$native/tools/sim/qb2sim" ] || [ ! -f "$native/tools/ptyshim/libqb2ptyshim.so" ]; then
  echo "run: building the virtual unit"
  cmake --preset native >/dev/null
  cmake --build --preset native --target qb2sim qb2ptyshim >/dev/null
fi

# The bench is for a person to see: a prefix with Wine's X11 driver.
if [ "$bench" = 1 ]; then export WINEPREFIX="$root/$win/wineprefix-x11"; prefix_cmd=x11
else export WINEPREFIX="$root/$win/wineprefix"; prefix_cmd=up; fi
work=$(mktemp -d /tmp/qb2run.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  wine "$win/tools/winctl/qb2winctl.exe" unplug >/dev/null 2>&1 || true
  tools/wine/prefix.sh down "$WINEPREFIX"
}
tools/wine/prefix.sh "$prefix_cmd" "$WINEPREFIX"
trap cleanup EXIT
. tools/wine/env.sh

# The unit: its pty behind COM<port> of the prefix.
"$native/tools/sim/qb2sim" --link "$WINEPREFIX.ports/com$port" --log "$work/unit.log" >"$work/unit.out" &
sim_pid=$!
for _ in $(seq 200); do [ -s "$work/unit.out" ] && break; sleep 0.01; done
echo "run: virtual unit on COM$port ($(cat "$work/unit.out"))"

# One long-lived helper for the registry, so the plug-in is a sub-millisecond write.
coproc CTL { exec wine "$win/tools/winctl/qb2winctl.exe" serve 2>/dev/null; }
ctl() { echo "$*" >&"${CTL[1]}"; read -r reply <&"${CTL[0]}"; [ "${reply%$'\r'}" = ok ]; }
ctl unplug

if [ "$bench" = 1 ]; then
  ctl plug "COM$port"
  echo "run: \\Device\\Serial2 = COM$port; starting QB2BENCH.EXE on display $DISPLAY"
  echo "run: tick 自動認識ON/OFF (302) and the port opens by itself, or type $port into the"
  echo "run: COM box and press open; the unit's log is $work/unit.log"
  echo "run: from another shell: DISPLAY=$DISPLAY WINEPREFIX=$WINEPREFIX wine $win/tools/winctl/qb2winctl.exe"
  echo "run:   plug COM$port | unplug | status | set ID TEXT | click ID | close"
  code=0
  (cd "$work" && LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" exec wine "$root/$win/app/QB2BENCH.EXE") || code=$?
  echo "run: QB2BENCH.EXE ended with exit value $code"
  exit 0
fi

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN{printf "%.3f", b-a}'; }

# The calling script's side: start, wait, read the result.
start=$(now)
(cd "$work" && LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" exec wine "$root/$win/app/QB2LINK.EXE") &
exe=$!
if [ "$never" = 0 ]; then
  [ "$late" != 0 ] && sleep "$late"
  ctl plug "COM$port"
  echo "run: \\Device\\Serial2 = COM$port added at $(elapsed "$start") s"
else
  echo "run: the unit is never plugged in"
fi
code=0
wait "$exe" || code=$?
took=$(elapsed "$start")
echo "run: QB2LINK.EXE ended with exit value $code after $took s"
for f in QB2LINK.OK QB2LINK.ERR; do
  if [ -f "$work/$f" ]; then printf 'run: %s holds: %s' "$f" "$(od -An -c "$work/$f" | tr -s ' ')"; echo; fi
done
grep -q 'host-open' "$work/unit.log" && echo "run: the unit saw its port opened ($(grep -m1 host-open "$work/unit.log" | awk '{print $1}') s after it started)"
echo "run: files in $work"
