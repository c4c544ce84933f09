#!/usr/bin/env bash
# screenshot.sh [OUT.png]: QB2LINK.EXE's dialog as an operator sees it, rendered by
# Wine's X11 driver under Xvfb (the test prefix uses the null driver, so this one
# has a prefix of its own).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/docs/dialog.png}")
cd "$root"
bash scripts/setup.sh
tree=build/win64
if [ ! -f "$tree/app/QB2LINK.EXE" ] || [ ! -f "$tree/tools/winctl/qb2winctl.exe" ]; then
  cmake --preset win64 >/dev/null
  cmake --build --preset win64 --target QB2LINK qb2winctl >/dev/null
fi
export WINEPREFIX="$root/$tree/wineprefix-x11"
. tools/wine/env.sh
mkdir -p "$(dirname "$out")"
shot=$(mktemp -d /tmp/qb2shot.XXXXXX)

xvfb-run -a -s "-screen 0 640x400x24" bash -s "$root" "$tree" "$shot" <<'INNER'
set -euo pipefail
root=$1 tree=$2 shot=$3
. "$root/tools/wine/env.sh"
wineserver -p >/dev/null 2>&1 </dev/null || true
if [ ! -f "$WINEPREFIX/.qb2-ready" ]; then
  wine wineboot -i >/dev/null 2>&1 </dev/null
  # No window manager: Wine draws the caption itself.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  # Japanese glyphs for the caption font too.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Tahoma /t REG_MULTI_SZ /d 'ipag.ttf,IPAGothic' /f >/dev/null 2>&1
  touch "$WINEPREFIX/.qb2-ready"
fi
wine wineboot >/dev/null 2>&1 </dev/null
(cd "$shot" && exec wine "$root/$tree/app/QB2LINK.EXE") >/dev/null 2>&1 &
pid=$!
ctl() { wine "$root/$tree/tools/winctl/qb2winctl.exe" "$@" 2>/dev/null; }
ctl wait-dialog 20000
sleep 1
read -r l t r b < <(ctl rect | tr -d '\r')
import -window root "$shot/full.png"
ctl close
wait "$pid" || true
wineserver -k || true
m=8
convert "$shot/full.png" -crop "$((r - l + 2 * m))x$((b - t + 2 * m))+$((l > m ? l - m : 0))+$((t > m ? t - m : 0))" +repage "$shot/dialog.png"
INNER
cp "$shot/dialog.png" "$out"
rm -rf "$shot"
echo "screenshot: $out"
