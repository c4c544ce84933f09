#!/usr/bin/env bash
# The flash jobs' figure: a 128 KiB write and a 128 KiB read-back through
# FlashWriteJob and FlashReadJob against the virtual unit paced at 38400 baud both
# ways, natively and under Wine, each beside its wire floor (every request and
# reply frame at 3,840 bytes/s) as a ratio. Also checks the read-back and the
# unit's flash dump against each other. About 80 s a run. Needs the native and
# win64 trees (flash_bench, qb2sim, the pty shim). Run by tools/bench/job-figures.sh.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
native=build/native win=build/win64
work=$(mktemp -d /tmp/qb2flash.XXXXXX)
trap 'rm -rf "$work"' EXIT
status=0

# run LABEL LINK-DIR COMMAND...: the unit behind LINK-DIR/com7, the bench, the dump.
run() {
  local label=$1 ports=$2
  shift 2
  "$native/tools/sim/qb2sim" --link "$ports/com7" --pace --pace-host \
    --dump-flash "$work/$label.dump" >/dev/null &
  local sim=$!
  sleep 0.3
  echo "-- $label"
  timeout 600 "$@" || status=1
  kill "$sim"; wait "$sim" 2>/dev/null
  if cmp -s "$work/$label.dump" "$work/$label.read"; then
    echo "unit's flash dump matches the read-back file"
  else
    echo "unit's flash dump differs from the read-back file"; status=1
  fi
}

if [ -x "$native/tools/bench/flash_bench" ]; then
  QB2_PORT_DIR=$work run native "$work" "$native/tools/bench/flash_bench" 7 "$work/native.read"
else
  echo "figure-flash: $native/tools/bench/flash_bench missing (build the native tree)" >&2; status=2
fi

if [ -f "$win/tools/bench/flash_bench.exe" ]; then
  export WINEPREFIX="$root/$win/wineprefix"
  tools/wine/prefix.sh up "$WINEPREFIX"
  . tools/wine/env.sh
  # The read-back file by its Unix path, which Wine maps through drive Z:.
  run wine "$WINEPREFIX.ports" env LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" \
    wine "$win/tools/bench/flash_bench.exe" 7 "Z:$work/wine.read"
  tools/wine/prefix.sh down "$WINEPREFIX"
else
  echo "figure-flash: $win/tools/bench/flash_bench.exe missing (build the win64 tree)" >&2; status=2
fi
exit $status
