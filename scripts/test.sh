#!/usr/bin/env bash
# Every test: installs what is needed, builds every tree and runs ctest in each.
# Trees: native (ASan+UBSan), tsan, win64 (the EXE and its Wine tests; they use the
# simulator and pty shim of the native tree), win32 (built, format-checked), fuzz.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh || exit 1

failed=()
t0=$(date +%s)
stamp() { echo "[$(( $(date +%s) - t0 ))s] $*"; }

run_tree() {  # preset [build target]
  local preset=$1 target=${2:-}
  stamp "== $preset: configure and build"
  mkdir -p build
  if ! cmake --preset "$preset" >"build/configure-$preset.log" 2>&1; then
    cat "build/configure-$preset.log"; failed+=("$preset (configure)"); return
  fi
  rm -f "build/configure-$preset.log"
  if ! cmake --build --preset "$preset" ${target:+--target "$target"}; then
    failed+=("$preset (build)"); return
  fi
  stamp "== $preset: tests"
  local jobs=2
  [ "$preset" = win64 ] && jobs=1  # Wine tests share one window station
  if ! ctest --preset "$preset" -j "$jobs"; then failed+=("$preset (tests)"); fi
}

run_tree native
run_tree tsan
run_tree win64
run_tree win32
run_tree fuzz qb2_fuzzers

stamp "done"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all trees passed"
