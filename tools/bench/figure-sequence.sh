#!/usr/bin/env bash
# The production sequence's figure: em-start with a 64 KiB flash data image of 256
# non-blank pages against the virtual unit paced at 38400 baud, timed from
# em-start to the stop line, beside the floor: every byte of every frame and reply
# at 3,840 bytes/s (counted from the unit's log) plus the sequence's own waits of
# 100 + 100 + 3000 + 500 ms. Also the CPU the program uses in the 3 s clock wait.
# Natively (the ASan build of the native tree). Under Wine it needs QB2BENCH.EXE,
# the dialog without the ten-second end; it is run when that EXE is built.
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
"$native/tools/sim/qb2sim" --pace --link "$work/com7" --log "$work/native.log" >/dev/null &
sim=$!
sleep 0.3
out=$(cd "$work" && QB2_PORT_DIR=$work "$root/$native/tools/bench/sequence_bench" 7)
status=$?
kill $sim; wait $sim 2>/dev/null
echo "$out"
read -r host unit < <(floor "$work/native.log")
t=$(echo "$out" | awk '/stop line/{print $5}')
# The unit paces only what it sends; the host's bytes cross the pty at once. The
# second floor is what this set-up can reach at best.
awk -v t="$t" -v h="$host" -v d="$unit" 'BEGIN{
  full = (h + d) / 3840 + 3.7; paced = d / 3840 + 3.7
  printf "floor: %.3f s (%d bytes both ways at 38400 baud + 3.7 s of waits); ratio %.3f (aim: at most 1.10)\n", full, h + d, t / full
  printf "paced floor: %.3f s (the %d bytes the unit sends, paced + 3.7 s); ratio %.3f\n", paced, d, t / paced
}'

if [ -x build/win64/app/QB2BENCH.EXE ]; then
  echo "-- Wine: QB2BENCH.EXE is built; its run is not scripted here yet"
else
  echo "-- Wine: no QB2BENCH.EXE in build/win64 (the bench build), no Wine figure"
fi
exit $status
