#!/usr/bin/env bash
# The main job: QB2LINK.EXE under Wine, as a calling script on the production line
# runs it. Builds what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

tree=build/win64
if [ ! -f "$tree/app/QB2LINK.EXE" ] || [ ! -f "$tree/tools/winctl/qb2winctl.exe" ]; then
  echo "run: building QB2LINK.EXE"
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target QB2LINK qb2winctl >/dev/null
fi

export WINEPREFIX="$root/$tree/wineprefix"
tools/wine/prefix.sh up "$WINEPREFIX"
trap 'tools/wine/prefix.sh down "$WINEPREFIX"' EXIT
. tools/wine/env.sh
ctl() { wine "$tree/tools/winctl/qb2winctl.exe" "$@" 2>/dev/null; }

work=$(mktemp -d /tmp/qb2run.XXXXXX)
echo "run: starting QB2LINK.EXE in $work"
start=$(date +%s.%N)
(cd "$work" && exec wine "$root/$tree/app/QB2LINK.EXE") &
pid=$!
ctl wait-dialog 10000 || { echo "run: the dialog did not appear"; exit 1; }
echo "run: status line: $(ctl status)"
sleep 2
echo "run: after 2 s:   $(ctl status)"
ctl close
wait "$pid" && code=0 || code=$?
end=$(date +%s.%N)
echo "run: exit value $code after $(awk -v a="$start" -v b="$end" 'BEGIN{printf "%.2f", b-a}') s; result files: $(ls "$work" | tr '\n' ' ')"
