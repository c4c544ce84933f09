#!/usr/bin/env bash
# Every test: installs what is needed, builds every tree and runs ctest in each.
# Trees: native (ASan+UBSan), tsan, win64 (the EXEs and their Wine tests; they use
# the virtual unit and pty shim of the native tree), win32 (the x86 EXEs, checked
# to be 32-bit, and a few Wine tests run as 32-bit programs), fuzz, release (the
# Linux qb2cli as a line PC gets it).
#
# The two cores are kept busy: the Windows trees' tests, which mostly wait (the
# main job's ten-second watchdog, the unit's replies), run in the background while
# the next tree builds. The builds run at a lower priority, so that the tests,
# which measure time, get the processor when they want it, and one tree's tests
# run at a time (the Windows tests alone keep about a core busy). The native and
# TSan tests run after the last build. The Windows tests run
# side by side in several Wine prefixes (tools/wine/wine-run.sh). Logs: build/logs/.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh test || exit 1

t0=$(date +%s)
stamp() { echo "[$(( $(date +%s) - t0 ))s] $*"; }
logs=build/logs
mkdir -p "$logs"
rm -f "$logs"/*.log
declare -A configure_pid
failed=()

# Every tree configured at once (mostly one core each, waiting on small checks).
for preset in native tsan win64 win32 fuzz release; do
  cmake --preset "$preset" >"$logs/$preset-configure.log" 2>&1 &
  configure_pid[$preset]=$!
done
declare -A configure_ok
configured() {  # preset: waits for its configuration; true when it succeeded
  local pid=${configure_pid[$1]:-}
  if [ -n "$pid" ]; then
    unset "configure_pid[$1]"
    if wait "$pid"; then
      configure_ok[$1]=1
    else
      cat "$logs/$1-configure.log"
      failed+=("$1 (configure)")
    fi
  fi
  [ -n "${configure_ok[$1]:-}" ]
}
# The number of Wine prefixes a Windows tree's tests run in side by side.
lanes() { sed -n 's/^QB2_WINE_LANES:[A-Z]*=//p' "build/$1/CMakeCache.txt"; }

# The Wine prefixes are made while the first trees build.
prefixes=""
if configured win64 && configured win32; then
  (tools/wine/prefix.sh lanes make "$(lanes win64)" build/win64/wineprefix &&
    tools/wine/prefix.sh lanes make "$(lanes win32)" build/win32/wineprefix --x86) >"$logs/prefixes.log" 2>&1 &
  prefixes=$!
fi

build() {  # preset [target...]
  local preset=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  if nice -n 10 cmake --build --preset "$preset" "${targets[@]}" >>"$logs/$preset-build.log" 2>&1; then
    stamp "$preset: built${1:+ ($*)}"
    return 0
  fi
  tail -n 40 "$logs/$preset-build.log"
  failed+=("$preset (build)")
  return 1
}

# The tests of the trees, one tree after another in the order they were built,
# in one background job that reads the trees from a queue.
rm -f "$logs/.queue" "$logs/.results"
mkfifo "$logs/.queue"
(
  while read -r preset jobs; do
    stamp "$preset: tests started (-j $jobs)"
    ctest --preset "$preset" -j "$jobs" >"$logs/$preset-test.log" 2>&1
    echo "$preset $?" >>"$logs/.results"
    stamp "$preset: tests ended"
  done <"$logs/.queue"
) &
tester=$!
exec 7>"$logs/.queue"
run_tests() { echo "$1 $2" >&7; }  # preset jobs

configured native && build native qb2sim qb2ptyshim && native_unit=1 || native_unit=0
configured win64 && [ "$native_unit" = 1 ] && build win64 && {
  [ -z "$prefixes" ] || wait "$prefixes" || { cat "$logs/prefixes.log"; failed+=("Wine prefixes"); }
  run_tests win64 "$(lanes win64)"
}
configured native && build native && native_built=1 || native_built=0
configured tsan && build tsan && tsan_built=1 || tsan_built=0
configured win32 && build win32 && run_tests win32 "$(lanes win32)"
configured fuzz && build fuzz qb2_fuzzers && run_tests fuzz 2
configured release && build release qb2cli && run_tests release 1
stamp "every tree built"
# The native trees' pty tests go last, with no compiler beside them: on two cores
# a build next to them has held every pty's bytes back for a second and more, and
# a job that waits a bounded time for a reply then fails as it must.
[ "$native_built" = 1 ] && run_tests native 8
[ "$tsan_built" = 1 ] && run_tests tsan 8
exec 7>&-
wait "$tester"

while read -r preset status; do
  if [ "$status" = 0 ]; then
    stamp "$preset: $(grep -a -E 'tests passed' "$logs/$preset-test.log")"
  else
    # ctest prints the output of failed tests only: the log without the lines of
    # tests that started and passed is what went wrong.
    echo "== $preset: tests failed (the whole log: $logs/$preset-test.log)"
    grep -a -v -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* (Passed|Skipped)|^ +Start +[0-9]+:' "$logs/$preset-test.log"
    failed+=("$preset (tests)")
  fi
  grep -a -h '\*\*\*Skipped' "$logs/$preset-test.log" | sed -E "s/^ *[0-9]+\/[0-9]+ /$preset: skipped /"
done <"$logs/.results"
x86=$(tools/wine/prefix.sh x86) || echo "win32: the x86 Wine tests were skipped: $x86"

stamp "done"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all trees passed"
