#!/usr/bin/env bash
# Link turnaround, natively and under Wine, against the virtual unit: the time from
# a request frame being written to ResponseReady being seen, and the unit's own
# share of it (from its log), so what is left is the host's receive path and the
# pty's transfers. Needs the native and win64 trees built (scripts/test.sh does).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
n=${1:-500}
native=build/native win=build/win64
work=$(mktemp -d /tmp/qb2bench.XXXXXX)

unit_share() {  # median unit time from a request's last byte in to its reply out, in us
  awk '$2=="H>D"{t=$1} $2=="D>H"&&t!=""{printf "%.1f\n", ($1-t)*1e6; t=""}' "$1" |
    sort -n | awk '{d[n++]=$1} END{if(!n) print "?"; else print d[int((n-1)/2)]}'
}

echo "== native (ASan build of the link) =="
"$native/tools/sim/qb2sim" --link "$work/com7" --log "$work/native.log" >/dev/null &
sim=$!
sleep 0.3
QB2_PORT_DIR=$work "$native/tools/bench/link_bench" 7 "$n"
kill $sim; wait $sim || true
echo "unit's own share (median): $(unit_share "$work/native.log") us"

echo "== Wine (QB2's Win32 port layer, pty shim) =="
export WINEPREFIX="$root/$win/wineprefix"
tools/wine/prefix.sh up "$WINEPREFIX"
. tools/wine/env.sh
"$native/tools/sim/qb2sim" --link "$WINEPREFIX.ports/com7" --log "$work/wine.log" >/dev/null &
sim=$!
sleep 0.3
LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" wine "$win/tools/bench/link_bench.exe" 7 "$n"
kill $sim; wait $sim || true
echo "unit's own share (median): $(unit_share "$work/wine.log") us"
tools/wine/prefix.sh down "$WINEPREFIX"
rm -rf "$work"
