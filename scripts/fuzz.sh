#!/usr/bin/env bash
# scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#   A long run of one libFuzzer target (e.g. fuzz_srecord for 3600 s). Builds the fuzz
#   tree first (build/fuzz, or the tree named by QB2_FUZZ_BUILD). New inputs collect in
#   <tree>/fuzz/TARGET.long/corpus and carry over to the next run; the seed corpus in
#   fuzz/corpus/ is only read. A finding is saved in <tree>/fuzz/TARGET.long/artifacts/
#   and makes the script exit non-zero. Reproduce one with: <tree>/fuzz/TARGET FILE
set -euo pipefail
usage="usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]"
target=${1:?$usage}
seconds=${2:?$usage}
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QB2_FUZZ_BUILD:-$root/build/fuzz}

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQB2_WERROR=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DQB2_FUZZ=ON -DQB2_TESTS=OFF -DQB2_SANITIZE=address,undefined
fi
cmake --build "$build" --target "$target" -j2

info="$build/fuzz/$target.fuzzer"
if [ ! -f "$info" ]; then
  echo "fuzz.sh: no fuzzer named $target in $build (see fuzz/CMakeLists.txt)" >&2
  exit 2
fi
CORPUS= OPTIONS=
. "$info"
work="$build/fuzz/$target.long"
mkdir -p "$work/corpus" "$work/artifacts"

echo "fuzz.sh: $target for $seconds s; corpus $work/corpus (+ seeds $CORPUS)"
# shellcheck disable=SC2086  # OPTIONS is a list of options
exec "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" $OPTIONS "$@" "$work/corpus" "$CORPUS"
