#!/usr/bin/env bash
# Several units at once: the time for 1, 4 and 16 units, each a virtual unit paced
# at 38400 baud both ways, of a production run (a 64 KiB image of 256 non-blank
# pages) and of a 64 KiB write, through qb2cli (release tree) natively and
# QB2CLI.EXE under Wine; beside each, the ratio to one unit's time, each unit's
# CPU while its job runs (its own process, sampled from /proc; min, median and max
# over the units), and how busy the machine's processors were. Aims: 4 units at
# most 1.15 x one unit's time, 16 at most 1.3 x. A figure, not a test.
#
#   bash tools/bench/figure-gang.sh [native|wine]...
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
native=build/native win=build/win64 release=build/release
work=$(mktemp -d /tmp/qb2gang.XXXXXX)
sims=()
cleanup() { for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
# Up to date with the sources (quick when it is).
[ -f "$release/CMakeCache.txt" ] || cmake --preset release >/dev/null
cmake --build --preset release --target qb2cli >/dev/null || { echo "cannot build $release/cli/qb2cli" >&2; exit 2; }
sides=("$@")
[ ${#sides[@]} -gt 0 ] || sides=(native wine)
hz=$(getconf CLK_TCK)

python3 - "$work" <<'PY'
import sys
d = sys.argv[1]
with open(d + "/w.bin", "wb") as f:
    f.write(bytes((i * 13 + (i >> 8)) % 251 for i in range(0x10000)))
with open(d + "/Quillbeacon2FlashData.dat", "wb") as f:
    for k in range(256):
        f.write(bytes([0]) + bytes([k]) * 255)
PY

busy_jiffies() { awk '/^cpu /{print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8}' /proc/stat; }
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# run SIDE N JOB: N units (links ports[0..N-1]), the job over all of them at once.
run() {
  local side=$1 n=$2 job=$3 list="" i
  sims=()
  for i in $(seq 0 $((n - 1))); do
    "$native/tools/sim/qb2sim" --pace --pace-host --link "${links[$i]}" >/dev/null &
    sims+=($!)
    list+="${list:+,}${names[$i]}"
  done
  sleep 0.5
  local args=(--port "$list" --quiet --json --no-log)
  [ "$job" = produce ] && args+=(produce --serial 1) || args+=(write w.bin)
  local b0 t0 pattern
  read -r b0 t0 < <(busy_jiffies)
  local w0 w1
  w0=$(date +%s.%N)
  if [ "$side" = native ]; then
    (cd "$work" && exec "$root/$release/cli/qb2cli" "${args[@]}") >"$work/out" 2>&1 &
    pattern="qb2cli --child"
  else
    (cd "$work" && LD_PRELOAD="$root/$native/tools/ptyshim/libqb2ptyshim.so" exec wine "$root/$win/cli/QB2CLI.EXE" "${args[@]}") >"$work/out" 2>&1 &
    pattern="QB2CLI.EXE --child"
  fi
  local parent=$!
  # Each unit's process, sampled from 2 s in to 2 s before the end (about 14 s in).
  [ $n -gt 1 ] || pattern="$( [ "$side" = native ] && echo "qb2cli --port" || echo "QB2CLI.EXE --port")"
  sleep 2
  local pids c0=() s0 s1
  pids=($(pgrep -f -- "$pattern"))
  for p in "${pids[@]}"; do c0+=("$(ticks "$p")"); done
  s0=$(date +%s.%N)
  sleep 10
  s1=$(date +%s.%N)
  local cpus=() k=0
  for p in "${pids[@]}"; do
    cpus+=("$(awk -v a="${c0[$k]}" -v b="$(ticks "$p")" -v hz="$hz" -v s0="$s0" -v s1="$s1" 'BEGIN{printf "%.2f", 100 * (b - a) / hz / (s1 - s0)}')")
    k=$((k + 1))
  done
  wait "$parent"
  w1=$(date +%s.%N)
  local b1 t1
  read -r b1 t1 < <(busy_jiffies)
  for p in "${sims[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  sims=()
  local ok
  ok=$(grep -c '"result":"OK"' "$work/out")
  local seconds
  seconds=$(awk -v a="$w0" -v b="$w1" 'BEGIN{printf "%.2f", b - a}')
  [ "$n" = 1 ] && one=$seconds
  local stats
  stats=$(printf '%s\n' "${cpus[@]}" | sort -n | awk '{v[NR]=$1} END{if (NR) printf "%.2f / %.2f / %.2f", v[1], v[int((NR+1)/2)], v[NR]; else print "-"}')
  awk -v n="$n" -v job="$job" -v s="$seconds" -v one="$one" -v ok="$ok" -v st="$stats" -v b="$((b1 - b0))" -v t="$((t1 - t0))" \
    'BEGIN{printf "%2d units %-8s %7.2f s  x%.3f of one unit  %2d OK  unit CPU %% min/median/max %s  machine busy %.0f %%\n", n, job, s, s / one, ok, st, 100 * b / t}'
}

for side in "${sides[@]}"; do
  links=() names=()
  if [ "$side" = native ]; then
    echo "-- native (qb2cli)"
    for i in $(seq 0 15); do links+=("$work/tty$i"); names+=("$work/tty$i"); done
  else
    echo "-- Wine (QB2CLI.EXE)"
    [ -f "$win/cli/QB2CLI.EXE" ] || { echo "no $win/cli/QB2CLI.EXE: build the win64 tree"; continue; }
    export WINEPREFIX="$root/$win/wineprefix"
    tools/wine/prefix.sh up "$WINEPREFIX" >/dev/null
    . tools/wine/env.sh
    for i in $(seq 0 15); do links+=("$WINEPREFIX.ports/com$((5 + i))"); names+=("COM$((5 + i))"); done
  fi
  for job in produce write; do
    for n in 1 4 16; do run "$side" "$n" "$job"; done
  done
  [ "$side" = wine ] && tools/wine/prefix.sh down "$WINEPREFIX" >/dev/null
done
exit 0
