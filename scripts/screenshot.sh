#!/usr/bin/env bash
# screenshot.sh [--bench|--job|--pass|--fail] [OUT.png]: QB2LINK.EXE's dialog as an
# operator sees it, rendered by Wine's X11 driver under Xvfb (the test prefix uses the
# null driver, so this one has a prefix of its own). With --bench: QB2BENCH.EXE at
# work on the virtual unit (port opened by check box 302, a few requests in the trace
# list); OUT defaults to docs/bench.png then. With --job: the bench in the middle of a
# 64 KiB write with verify, against a unit paced at 38400 baud (docs/bench-job.png).
# With --pass and --fail: the bench after em-start, with its image and without it
# (docs/bench-pass.png, docs/bench-fail.png with its box).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${QB2_RUN_READY:-}" ]; then
  bash "$root/scripts/setup.sh" bench
  # A new shell: a locale the set-up has only just generated is not seen by this
  # one's C library, so setting LC_ALL (tools/wine/env.sh) would warn.
  QB2_RUN_READY=1 exec bash "$root/scripts/screenshot.sh" "$@"
fi
bench=0
if [ "${1:-}" = --bench ]; then bench=1; shift; fi
if [ "${1:-}" = --job ]; then bench=2; shift; fi
if [ "${1:-}" = --pass ]; then bench=3; shift; fi
if [ "${1:-}" = --fail ]; then bench=4; shift; fi
if [ "$bench" = 4 ]; then default=docs/bench-fail.png exe=QB2BENCH screen=1600x900x24
elif [ "$bench" = 3 ]; then default=docs/bench-pass.png exe=QB2BENCH screen=1600x900x24
elif [ "$bench" = 2 ]; then default=docs/bench-job.png exe=QB2BENCH screen=1600x900x24
elif [ "$bench" = 1 ]; then default=docs/bench.png exe=QB2BENCH screen=1600x900x24
else default=docs/dialog.png exe=QB2LINK screen=640x400x24; fi
out=$(realpath -m "${1:-$root/$default}")
cd "$root"
tree=build/win64 native=build/native
if [ ! -f "$tree/app/$exe.EXE" ] || [ ! -f "$tree/tools/winctl/qb2winctl.exe" ]; then
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target "$exe" qb2winctl >/dev/null
fi
if [ "$bench" != 0 ] && { [ ! -x "$native/tools/sim/qb2sim" ] || [ ! -f "$native/tools/ptyshim/libqb2ptyshim.so" ]; }; then
  cmake --preset native >/dev/null
  cmake --build --preset native --target qb2sim qb2ptyshim >/dev/null
fi
export WINEPREFIX="$root/$tree/wineprefix-x11"
. tools/wine/env.sh
mkdir -p "$(dirname "$out")"
shot=$(mktemp -d /tmp/qb2shot.XXXXXX)

xvfb-run -a -s "-screen 0 $screen" bash -s "$root" "$tree" "$native" "$shot" "$exe" "$bench" <<'INNER'
set -euo pipefail
root=$1 tree=$2 native=$3 shot=$4 exe=$5 bench=$6
. "$root/tools/wine/env.sh"
"$root/tools/wine/prefix.sh" x11 "$WINEPREFIX"
ctl() { wine "$root/$tree/tools/winctl/qb2winctl.exe" "$@" 2>/dev/null; }
sim_pid="" preload=""
if [ "$bench" != 0 ]; then
  preload="$root/$native/tools/ptyshim/libqb2ptyshim.so"
  pace=""
  [ "$bench" = 2 ] && pace="--pace --pace-host"
  # shellcheck disable=SC2086
  "$root/$native/tools/sim/qb2sim" --link "$WINEPREFIX.ports/com7" --seconds 60 $pace >"$shot/unit.out" &
  sim_pid=$!
  for _ in $(seq 200); do [ -s "$shot/unit.out" ] && break; sleep 0.01; done
  ctl plug COM7
fi
(cd "$shot" && LD_PRELOAD="$preload" exec wine "$root/$tree/app/$exe.EXE") >/dev/null 2>&1 &
pid=$!
ctl wait-dialog 20000
if [ "$bench" != 0 ]; then
  ctl set 301 500
  ctl set 304 00012345
  ctl set 104 line3.csv
  ctl click 302            # the port watcher finds COM7 and opens it
  for _ in $(seq 100); do [ "$(ctl status | tr -d '\r')" = "COMポート準備完了" ] && break; sleep 0.1; done
  for id in 206 207 110 207; do ctl click "$id"; sleep 0.3; done
fi
if [ "$bench" = 2 ]; then
  head -c 65536 /dev/urandom >"$shot/image.bin"
  ctl set 202 image.bin
  ctl set 201 ""
  ctl click 305            # verify after write
  ctl click 203            # 256 pages at 71 ms each: the shot comes a few seconds in
  sleep 6
fi
if [ "$bench" -ge 3 ]; then
  # A 56 KiB image with its serial number's page; --fail runs without it.
  [ "$bench" = 3 ] && head -c 57600 /dev/urandom >"$shot/Quillbeacon2FlashData.dat"
  ctl click 305
  ctl click 107            # em-start: about 4 s against the unpaced unit
  # The run ends by asking for the unit to be unplugged, good or not.
  for _ in $(seq 400); do [ "$(ctl status | tr -d '\r')" = "USBを外してください。" ] && break; sleep 0.1; done
  sleep 1
fi
sleep 1
read -r l t r b < <(ctl rect | tr -d '\r')
import -window root "$shot/full.png"
for _ in $(seq 20); do ctl answer || break; sleep 0.1; done  # a box holds the close until it is answered
sleep 0.5
ctl close
wait "$pid" || true
ctl unplug || true
[ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
wineserver -k || true
m=8
convert "$shot/full.png" -crop "$((r - l + 2 * m))x$((b - t + 2 * m))+$((l > m ? l - m : 0))+$((t > m ? t - m : 0))" +repage "$shot/dialog.png"
INNER
cp "$shot/dialog.png" "$out"
rm -rf "$shot"
echo "screenshot: $out"
