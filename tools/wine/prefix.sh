#!/usr/bin/env bash
# prefix.sh up|down|make|x11 PREFIX
#   make: create the Wine prefix once (null graphics driver, so dialogs work without a
#         display); does nothing when it is already there.
#   up:   make, then start a persistent wineserver for a test run (detached, so pipes
#         of ctest or tee do not wait on it).
#   x11:  as up, for a prefix with Wine's X11 driver, for a person to look at (the
#         screenshots, the bench): Wine draws the captions itself (no window manager
#         under Xvfb) and the caption font has Japanese glyphs. Needs DISPLAY.
#   down: end that prefix's wineserver only.
set -euo pipefail
cmd=${1:?usage: prefix.sh up|down|make|x11 PREFIX}
WINEPREFIX=${2:?usage: prefix.sh up|down|make|x11 PREFIX}
case "$WINEPREFIX" in /*) ;; *) WINEPREFIX="$PWD/$WINEPREFIX" ;; esac  # wine wants it absolute
export WINEPREFIX
here=$(cd "$(dirname "$0")" && pwd)
. "$here/env.sh"
log="$WINEPREFIX.server.log"

# COM2..COM20 are fixed links into "<prefix>.ports", where a test or the main-job
# script points comN at a virtual unit's pty. A link whose target is missing makes
# CreateFile fail with error 2, as for a device that is not plugged in.
link_ports() {
  mkdir -p "$WINEPREFIX.ports"
  for n in $(seq 2 20); do
    ln -sfn "$WINEPREFIX.ports/com$n" "$WINEPREFIX/dosdevices/com$n"
  done
}

start_server() {
  wineserver -p >/dev/null 2>>"$log" </dev/null || true
  wine wineboot >/dev/null 2>&1 </dev/null
}

make_prefix() {
  if [ -f "$WINEPREFIX/.qb2-ready" ]; then return 0; fi
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineserver -p >/dev/null 2>>"$log" </dev/null || true
  wine wineboot -i >/dev/null 2>&1 </dev/null
  # Headless: with the default driver and no display CreateDialog fails (1400).
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
  wineserver -k || true
  wineserver -w || true
  touch "$WINEPREFIX/.qb2-ready"
}

make_x11_prefix() {
  if [ -f "$WINEPREFIX/.qb2-ready" ]; then return 0; fi
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wineserver -p >/dev/null 2>>"$log" </dev/null || true
  wine wineboot -i >/dev/null 2>&1 </dev/null
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 </dev/null
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Tahoma /t REG_MULTI_SZ /d 'ipag.ttf,IPAGothic' /f >/dev/null 2>&1 </dev/null
  touch "$WINEPREFIX/.qb2-ready"
}

case "$cmd" in
  x11) make_x11_prefix; link_ports; start_server ;;
  make) make_prefix; wineserver -k 2>/dev/null || true ;;
  up) make_prefix; link_ports; start_server ;;
  down) wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true ;;
  *) echo "usage: prefix.sh up|down|make|x11 PREFIX" >&2; exit 2 ;;
esac
