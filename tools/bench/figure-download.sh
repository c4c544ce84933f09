#!/usr/bin/env bash
# Firmware download figure: a file filling all seven boot-loader blocks (192 pages)
# against the virtual unit paced at 38400 baud, natively and under Wine. The time
# from command 106's CMD_BOOT_ENTER to the final 0xFF, both as the unit saw them
# (its log), beside the floor: every byte both ways at 3,840 bytes/s, plus the
# download's own pauses (400 ms an erase, 1,000 ms after "W", 10 ms a page).
# What lies over the floor is the reply waits' 10 ms polls (three a page) and the
# page's discard read, which waits out its 12 ms read time-out when nothing comes.
# Needs the native and win64 trees built. A figure, not a test.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
native=build/native win=build/win64
work=$(mktemp -d /tmp/qb2dl.XXXXXX)
trap 'rm -rf "$work"' EXIT

# S1 records of 16 bytes over 3000-3FFF, A000-EFFF, then S9.
python3 - "$work/enc72.mot" <<'PY'
import sys
out = open(sys.argv[1], "w", newline="")
out.write("S00600004844521B\r\n")
for lo, hi in ((0x3000, 0x4000), (0xA000, 0xF000)):
    for a in range(lo, hi, 16):
        data = bytes(((a + i) * 7 + (a >> 8)) & 0xFF for i in range(16))
        body = bytes([len(data) + 3, a >> 8, a & 0xFF]) + data
        out.write("S1" + body.hex().upper() + "%02X\r\n" % (~sum(body) & 0xFF))
out.write("S9030000FC\r\n")
PY

figure() {  # LOG LABEL: the wire figures from the unit's log
  awk -v label="$2" '
    $2 == "H>D" || $2 == "D>H" {
      hex = $3; for (i = 4; i <= NF; i++) hex = hex $i
      n = length(hex) / 2
      if (start == "" && $2 == "H>D") start = $1
      if (start != "") bytes += n
      if ($2 == "H>D" && substr(hex, length(hex) - 1) == "FF") end = $1
    }
    $2 == "EV" && $3 == "boot" && $4 == "erase" { erases++ }
    $2 == "EV" && $3 == "boot" && $4 == "end" { pages++ }
    END {
      if (start == "" || end == "") { print label ": no download in the log"; exit 1 }
      t = end - start
      floor = bytes / 3840 + erases * 0.4 + 1.0 + pages * 0.01
      printf "%-24s 106 to final 0xFF %7.3f s   floor %7.3f s (%d bytes both ways, %d erases, %d pages)   ratio %.3f\n",
             label, t, floor, bytes, erases, pages, t / floor
    }' "$1"
}

# Two pacings: the unit's bytes to the host at 38400 baud (--pace), and the host's
# bytes taken at 38400 baud too (--pace-host), as the other job figures do; with
# the second the host's 131 bytes a page cost their wire time as on the real line.
native_run() {  # LABEL SIM-OPTIONS...
  local label=$1
  shift
  "$native/tools/sim/qb2sim" "$@" --link "$work/com7" --log "$work/$label.log" >/dev/null &
  local sim=$!
  sleep 0.3
  QB2_PORT_DIR=$work "$native/tools/bench/download_bench" 7 "$work/enc72.mot" >/dev/null
  kill $sim; wait $sim || true
  figure "$work/$label.log" "$label"
}

wine_run() {  # LABEL SIM-OPTIONS...
  local label=$1
  shift
  "$native/tools/sim/qb2sim" "$@" --link "$WINEPREFIX.ports/com7" --log "$work/$label.log" >/dev/null &
  local sim=$!
  sleep 0.3
  LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" wine "$win/tools/bench/download_bench.exe" 7 \
    'C:\qb2-figure-enc72.mot' >/dev/null
  kill $sim; wait $sim || true
  figure "$work/$label.log" "$label"
}

echo "-- native (ASan build)"
native_run "native, unit paced" --pace
native_run "native, both ways paced" --pace --pace-host

echo "-- Wine (x64 EXE code, pty shim)"
export WINEPREFIX="$root/$win/wineprefix"
tools/wine/prefix.sh up "$WINEPREFIX"
. tools/wine/env.sh
cp "$work/enc72.mot" "$WINEPREFIX/drive_c/qb2-figure-enc72.mot"
wine_run "Wine, unit paced" --pace
wine_run "Wine, both ways paced" --pace --pace-host
rm -f "$WINEPREFIX/drive_c/qb2-figure-enc72.mot"
tools/wine/prefix.sh down "$WINEPREFIX"
