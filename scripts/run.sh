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
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

port=7 late=0 never=0
while [ $# -gt 0 ]; do
  case "$1" in
    --port) port=$2; shift 2 ;;
    --late) late=$2; shift 2 ;;
    --never) never=1; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "run: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
win=build/win64 native=build/native
if [ ! -f "$win/app/QB2LINK.EXE" ] || [ ! -f "$win/tools/winctl/qb2winctl.exe" ]; then
  echo "run: building QB2LINK.EXE"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target QB2LINK qb2winctl >/dev/null
fi
if [ ! -x "$native/tools/sim/qb2sim" ] || [ ! -f "$native/tools/ptyshim/libqb2ptyshim.so" ]; then
  echo "run: building the virtual unit"
  cmake --preset native >/dev/null
  cmake --build --preset native --target qb2sim qb2ptyshim >/dev/null
fi

export WINEPREFIX="$root/$win/wineprefix"
work=$(mktemp -d /tmp/qb2run.XXXXXX)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  wine "$win/tools/winctl/qb2winctl.exe" unplug >/dev/null 2>&1 || true
  tools/wine/prefix.sh down "$WINEPREFIX"
}
tools/wine/prefix.sh up "$WINEPREFIX"
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
