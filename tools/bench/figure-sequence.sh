#!/usr/bin/env bash
# The production sequence's figure: em-start with a 64 KiB flash data image of 256
# non-blank pages against the virtual unit paced at 38400 baud both ways (--pace
# --pace-host), timed from em-start to the stop line, beside the floor: every byte
# of every frame and reply at 3,840 bytes/s (counted from the unit's log) plus the sequence's own waits of
# 100 + 100 + 3000 + 500 ms. Also the CPU the program uses in the 3 s clock wait.
# Natively (the ASan build of the native tree, through the dialog's handlers over
# the in-memory dialog) and under Wine on QB2BENCH.EXE (driven by sequence_drive.exe).
# Needs the native and win64 trees built.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
native=build/native
work=$(mktemp -d /tmp/qb2seqfig.XXXXXX)
trap 'rm -rf "$work"' EXIT
[ -x "$native/tools/bench/sequence_bench" ] || cmake --build --preset native --target sequence_bench qb2sim >/dev/null

# 256 pages, none blank: page k holds k in every byte but its first, which is 0.
python3 - "$work/Quillbeacon2FlashData.dat" <<'PY'
import sys
with open(sys.argv[1], "wb") as f:
    for k in range(256):
        f.write(bytes([0]) + bytes([k]) * 255)
PY

floor() {  # bytes both ways and unit-to-host bytes, from the log
  awk '$2=="H>D"{h+=NF-2} $2=="D>H"{d+=NF-2} END{printf "%d %d\n", h, d}' "$1"
}

echo "-- native"
"$native/tools/sim/qb2sim" --pace --pace-host --link "$work/com7" --log "$work/native.log" >/dev/null &
sim=$!
sleep 0.3
out=$(cd "$work" && QB2_PORT_DIR=$work "$root/$native/tools/bench/sequence_bench" 7)
status=$?
kill $sim; wait $sim 2>/dev/null
echo "$out"
read -r host unit < <(floor "$work/native.log")
t=$(echo "$out" | awk '/stop line/{print $5}')
awk -v t="$t" -v h="$host" -v d="$unit" 'BEGIN{
  full = (h + d) / 3840 + 3.7
  printf "floor: %.3f s (%d bytes both ways at 38400 baud + 3.7 s of waits); ratio %.3f (aim: at most 1.10)\n", full, h + d, t / full
}'

cpu_ticks() {  # user + system clock ticks of a process, all its threads
  awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0
}

echo "-- Wine: QB2BENCH.EXE"
win=build/win64
if [ ! -x "$win/app/QB2BENCH.EXE" ] || [ ! -f "$win/tools/bench/sequence_drive.exe" ]; then
  echo "no QB2BENCH.EXE or sequence_drive.exe in $win: build the win64 tree"
  exit $status
fi
export WINEPREFIX="$root/$win/wineprefix"
tools/wine/prefix.sh up "$WINEPREFIX" >/dev/null
. tools/wine/env.sh
"$native/tools/sim/qb2sim" --pace --pace-host --link "$WINEPREFIX.ports/com7" --log "$work/wine.log" >/dev/null &
sim=$!
sleep 0.3
hz=$(getconf CLK_TCK)
# One run of QB2BENCH.EXE driven by sequence_drive.exe (MODE: empty, or idle);
# sets t (seconds to the stop line) and cpu (percent of a core in the window).
drive() {
  local c0=0 c1=0 w0=0 w1=0 word value bench
  t="" cpu=""
  (cd "$work" && LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" exec wine "$root/$win/app/QB2BENCH.EXE") \
    >/dev/null 2>&1 &
  bench=$!
  while read -r word value; do
    word=${word%$'\r'} value=${value%$'\r'}
    case "$word" in
      clock-wait-cpu-start) c0=$(cpu_ticks $bench); w0=$(date +%s.%N) ;;
      clock-wait-cpu-end) c1=$(cpu_ticks $bench); w1=$(date +%s.%N) ;;
      stop) t=$value ;;
    esac
  done < <(wine "$win/tools/bench/sequence_drive.exe" 7 "$@" 2>/dev/null)
  wait $bench 2>/dev/null
  cpu=$(awk -v c0="$c0" -v c1="$c1" -v w0="$w0" -v w1="$w1" -v hz="$hz" \
    'BEGIN{ if (w1 > w0) printf "%.2f", 100 * (c1 - c0) / hz / (w1 - w0); else print "?" }')
}
drive idle
idle=$cpu
drive
kill $sim; wait $sim 2>/dev/null
tools/wine/prefix.sh down "$WINEPREFIX" >/dev/null
if [ -z "$t" ]; then
  echo "the run did not end (see $work/wine.log)"
  trap - EXIT
  exit 1
fi
read -r host unit < <(floor "$work/wine.log")
awk -v t="$t" -v h="$host" -v d="$unit" -v cpu="$cpu" -v idle="$idle" 'BEGIN{
  full = (h + d) / 3840 + 3.7
  printf "em-start -> stop line: %.3f s\n", t
  printf "CPU of QB2BENCH.EXE in the 3 s clock wait: %s %% of a core (with the port open and no run: %s %%)\n", cpu, idle
  printf "floor: %.3f s (%d bytes both ways at 38400 baud + 3.7 s of waits); ratio %.3f (aim: at most 1.10)\n", full, h + d, t / full
}'
exit $status
