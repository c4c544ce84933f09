#!/usr/bin/env bash
# The command line's figures beside the bench's: a 128 KiB write and a production
# run with a 64 KiB image of 256 non-blank pages, each through qb2cli (the Linux
# program of the release tree) and QB2CLI.EXE under Wine, against the virtual unit
# paced at 38400 baud both ways, beside the same wire floors as figure-flash.sh and
# figure-sequence.sh (every byte both ways at 3,840 bytes/s, plus the production
# run's 3.7 s of waits). The time is the job's own (the JSON line's ms); the whole
# process, port open and close included, follows it. Needs the release tree's
# qb2cli (built here if missing), the native tree's qb2sim and pty shim, and the
# win64 tree's QB2CLI.EXE.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
native=build/native win=build/win64 release=build/release
work=$(mktemp -d /tmp/qb2clifig.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Up to date with the sources (quick when it is).
[ -f "$release/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build --preset release --target qb2cli >/dev/null || { echo "cannot build $release/cli/qb2cli" >&2; exit 2; }
status=0

python3 - "$work" <<'PY'
import sys
d = sys.argv[1]
with open(d + "/w.bin", "wb") as f:  # no 0xFF: no chunk is skipped
    f.write(bytes((i * 13 + (i >> 8)) % 251 for i in range(0x20000)))
with open(d + "/Quillbeacon2FlashData.dat", "wb") as f:
    for k in range(256):
        f.write(bytes([0]) + bytes([k]) * 255)
PY

# figure LABEL FLOOR-KIND LOG -- COMMAND...: the unit on LINK, the command, its figure.
figure() {
  local label=$1 kind=$2 link=$3
  shift 3
  "$native/tools/sim/qb2sim" --pace --pace-host --link "$link" --log "$work/$label.log" >/dev/null &
  local sim=$!
  sleep 0.3
  local t0 t1 out
  t0=$(date +%s.%N)
  out=$(cd "$work" && "$@" 2>/dev/null | tr -d '\r')
  t1=$(date +%s.%N)
  kill "$sim"; wait "$sim" 2>/dev/null
  local ms result
  ms=$(sed -n 's/.*"ms":\([0-9]*\).*/\1/p' <<<"$out")
  result=$(sed -n 's/.*"result":"\([^"]*\)".*/\1/p' <<<"$out")
  [ "$result" = OK ] || { echo "$label: $out"; status=1; return; }
  awk -v kind="$kind" -v label="$label" -v ms="$ms" -v t0="$t0" -v t1="$t1" '
    $2=="H>D"{h+=NF-2} $2=="D>H"{d+=NF-2}
    END{
      floor = (h + d) / 3840 + (kind == "produce" ? 3.7 : 0)
      printf "%-22s %8.2f s (process %.2f s)   floor %8.2f s (%d bytes)   ratio %.3f\n", label, ms / 1000, t1 - t0, floor, h + d, ms / 1000 / floor
    }' "$work/$label.log"
}

echo "-- native (qb2cli, release tree)"
cli="$root/$release/cli/qb2cli"
figure "write 128 KiB" write "$work/tty7" "$cli" --port "$work/tty7" --quiet --json --no-log write w.bin
figure "produce 256 pages" produce "$work/tty7" "$cli" --port "$work/tty7" --quiet --json --no-log produce --serial 1

echo "-- Wine (QB2CLI.EXE)"
if [ ! -f "$win/cli/QB2CLI.EXE" ]; then
  echo "figure-cli: $win/cli/QB2CLI.EXE missing (build the win64 tree)" >&2
  exit 2
fi
export WINEPREFIX="$root/$win/wineprefix"
tools/wine/prefix.sh up "$WINEPREFIX" >/dev/null
. tools/wine/env.sh
exe="$root/$win/cli/QB2CLI.EXE"
shim="$root/$native/tools/ptyshim/libqb2ptyshim.so"
figure "write 128 KiB" write "$WINEPREFIX.ports/com7" env LD_PRELOAD="$shim" wine "$exe" --port COM7 --quiet --json --no-log write w.bin
figure "produce 256 pages" produce "$WINEPREFIX.ports/com7" env LD_PRELOAD="$shim" wine "$exe" --port COM7 --quiet --json --no-log produce --serial 1
tools/wine/prefix.sh down "$WINEPREFIX" >/dev/null
exit $status
