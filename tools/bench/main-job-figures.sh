#!/usr/bin/env bash
# Figures of the main job under Wine: CPU used while QB2LINK.EXE waits for the
# device (10 ms registry polls), and the time from the "\Device\Serial2" value
# appearing to the process exit, beside the port watcher's own pauses (a 10 ms
# poll, 500 ms and 200 ms), the open and the 5000 ms settle. Needs the native and
# win64 trees built.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
runs=${1:-5}
native=build/native win=build/win64
export WINEPREFIX="$root/$win/wineprefix"
tools/wine/prefix.sh up "$WINEPREFIX"
trap 'tools/wine/prefix.sh down "$WINEPREFIX"' EXIT
. tools/wine/env.sh
work=$(mktemp -d /tmp/qb2fig.XXXXXX)
coproc CTL { exec wine "$win/tools/winctl/qb2winctl.exe" serve 2>/dev/null; }
ctl() { echo "$*" >&"${CTL[1]}"; read -r reply <&"${CTL[0]}"; [ "${reply%$'\r'}" = ok ]; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # user + system, in clock ticks
hz=$(getconf CLK_TCK)
# The processes of this prefix only: other prefixes (test lanes, another
# checkout's runs) have servers and programs of the same names. A prefix's server
# works in the folder named by the prefix's device and inode.
in_prefix() {  # pgrep arguments: the newest matching process of this prefix
  local p
  for p in $(pgrep "$@" | sort -rn); do
    tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && { echo "$p"; return; }
  done
}
server_dir=$(stat -c '%d %i' "$WINEPREFIX" | { read -r d i; printf 'server-%x-%x' "$d" "$i"; })
server=""
for p in $(pgrep wineserver); do
  [ "$(basename "$(readlink "/proc/$p/cwd")")" = "$server_dir" ] && server=$p
done

echo "== CPU while waiting (never plugged in) =="
ctl unplug
(cd "$work" && exec wine "$root/$win/app/QB2LINK.EXE") &
job=$!
ctl wait-dialog 10000
sleep 1
exe=$(in_prefix -f 'QB2LINK.EXE')
e0=$(ticks "$exe") s0=$(ticks "$server") t0=$(date +%s.%N)
sleep 8
e1=$(ticks "$exe") s1=$(ticks "$server") t1=$(date +%s.%N)
wait "$job" || true
awk -v e="$((e1 - e0))" -v s="$((s1 - s0))" -v hz="$hz" -v a="$t0" -v b="$t1" 'BEGIN{
  w = b - a;
  printf "QB2LINK.EXE: %.1f ms CPU per second of waiting (%.2f %% of a core)\n", 1000*e/hz/w, 100*e/hz/w;
  printf "wineserver (answers the registry queries): %.1f ms per second (%.2f %%)\n", 1000*s/hz/w, 100*s/hz/w }'

echo "== value appearing -> exit (unit on COM7, plugged in 1 s after start) =="
"$native/tools/sim/qb2sim" --link "$WINEPREFIX.ports/com7" --log "$work/unit.log" >/dev/null &
sim=$!
sleep 0.3
for i in $(seq "$runs"); do
  rm -f "$work"/QB2LINK.*
  ctl unplug
  (cd "$work" && LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" exec wine "$root/$win/app/QB2LINK.EXE") &
  pid=$!
  ctl wait-dialog 10000
  sleep 1
  ctl plug COM7
  p=$(date +%s.%N)
  code=0; wait "$pid" || code=$?
  x=$(date +%s.%N)
  awk -v p="$p" -v x="$x" -v c="$code" -v r="$(cat "$work/QB2LINK.OK" 2>/dev/null | tr -d '\n')" 'BEGIN{
    d = (x - p) * 1000; printf "run: %s exit %d, %.0f ms after the value appeared (%+.0f ms beyond 5710 ms)\n", r, c, d, d - 5710 }'
done
kill $sim; wait $sim 2>/dev/null || true
ctl unplug
rm -rf "$work"
