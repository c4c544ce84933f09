#!/usr/bin/env bash
# prefix_test.sh MADE SCRATCH: tools/wine/prefix.sh heals a prefix or says in one
# line what is missing. MADE is a made prefix of the tree (copied, not changed);
# SCRATCH a folder the test may fill and remove.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# Making prefixes takes seconds of a core: at a low priority, beside tests that
# measure time.
prefix_sh() { nice -n 10 "$here/../../tools/wine/prefix.sh" "$@"; }
made=$1 scratch=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
rm -rf "$scratch" "$scratch".*
mkdir -p "$(dirname "$scratch")"

# No Wine at all: one line naming what to install, and a failure.
err=$(QB2_WINE_DIR="$scratch.none" prefix_sh up "$scratch" 2>&1 >/dev/null)
status=$?
[ "$status" -ne 0 ] || fail "no Wine: exit value 0"
[ "$(wc -l <<<"$err")" -eq 1 ] || fail "no Wine: not one line: $err"
[[ "$err" == *"install wine and wine64"* ]] || fail "no Wine: does not say what to install: $err"
[ ! -e "$scratch" ] || fail "no Wine: a prefix was made"

# A prefix in which programs no longer start (its kernel32.dll gone) is made again.
cp -a "$made" "$scratch"
rm -f "$scratch/drive_c/windows/system32/kernel32.dll"
err=$(prefix_sh up "$scratch" 2>&1 >/dev/null) || fail "damaged: not made again: $err"
[[ "$err" == *"could not load kernel32.dll"*"making it again"* ]] || fail "damaged: does not say why it makes it again: $err"
export WINEPREFIX=$scratch
. "$here/../../tools/wine/env.sh"
wine cmd /c exit 7 </dev/null >/dev/null 2>&1
status=$?
[ "$status" -eq 7 ] || fail "damaged: a program in the prefix made again ended with $status, not 7"
prefix_sh down "$scratch"

# A prefix made by another Wine (here: before wine32 was installed) is made again.
echo "wine64 wine-8.0; x86 32-bit Wine is not installed" >"$scratch/.qb2-ready"
touch "$scratch/drive_c/left-from-before"
prefix_sh make "$scratch" || fail "made by another Wine: make failed"
[ ! -e "$scratch/drive_c/left-from-before" ] || fail "made by another Wine: not made again"
[ "$(cat "$scratch/.qb2-ready")" = "$(cat "$made/.qb2-ready")" ] || fail "made by another Wine: its record is not this Wine's"

rm -rf "$scratch" "$scratch".*
[ "$failures" -eq 0 ] && echo "prefix heals and speaks: ok"
exit "$failures"
