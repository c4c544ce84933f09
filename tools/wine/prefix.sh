#!/usr/bin/env bash
# prefix.sh up|down|make|x11 PREFIX
#   make: create the Wine prefix (null graphics driver, so dialogs work without a
#         display); does nothing when it is there and was made by the Wine
#         installed now.
#   up:   make, then start a persistent wineserver for a test run (detached, so pipes
#         of ctest or tee do not wait on it), and see that a program starts in it.
#   x11:  as up, for a prefix with Wine's X11 driver, for a person to look at (the
#         screenshots, the bench): Wine draws the captions itself (no window manager
#         under Xvfb) and the caption font has Japanese glyphs. Needs DISPLAY.
#   down: end that prefix's wineserver only.
# prefix.sh lanes up|down|make N PREFIX [--x86]
#   N prefixes for tests that run side by side (see wine-run.sh): PREFIX itself and
#   PREFIX-2 .. PREFIX-N, each with its own wineserver, window station, registry and
#   COM ports. They are copies of one made prefix, PREFIX.made. With --x86 they are
#   for 32-bit programs: where those cannot start, nothing is made and the reason
#   is printed (the x86 tests then report themselves skipped).
# prefix.sh x86
#   "runs" when 32-bit Windows programs can start here, else why not (exit 1).
#
# A prefix that was made by another Wine (wine32 installed or removed since, an
# upgrade) is made again; one that no longer starts a program is made again once.
# A Wine that cannot start at all ends this with one line saying what to install.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/check.sh"
usage() { echo "usage: prefix.sh up|down|make|x11 PREFIX | lanes up|down|make N PREFIX [--x86] | x86" >&2; exit 2; }
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }  # wine wants it absolute
# Every function below works on the prefix named by WINEPREFIX.
. "$here/env.sh"

# COM2..COM20 are fixed links into "<prefix>.ports", where a test or the main-job
# script points comN at a virtual unit's pty. A link whose target is missing makes
# CreateFile fail with error 2, as for a device that is not plugged in.
link_ports() {
  mkdir -p "$WINEPREFIX.ports"
  for n in $(seq 2 20); do
    ln -sfn "$WINEPREFIX.ports/com$n" "$WINEPREFIX/dosdevices/com$n"
  done
}

# The server's messages go to a log beside the prefix (it also takes a pty as its
# controlling terminal, which must not be the caller's); each start begins it anew.
start_server() {  # what it started is judged by starts()
  wineserver -p >/dev/null 2>"$WINEPREFIX.server.log" </dev/null || true
  wine wineboot >/dev/null 2>&1 </dev/null || true
}
stop_server() { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }

ready() { [ -f "$WINEPREFIX/.qb2-ready" ] && [ "$(cat "$WINEPREFIX/.qb2-ready")" = "$fingerprint" ]; }

# A program starts and finds a setting this prefix was made with (key, value name).
starts() {
  local out
  out=$(wine reg query "$1" /v "$2" </dev/null 2>/dev/null) && [[ "$out" == *"$2"* ]]
}
null_driver=('HKCU\Software\Wine\Drivers' Graphics)
x11_driver=('HKCU\Software\Wine\X11 Driver' Decorated)

# The exit value and first error line of a program that does not start here.
why_not() {
  local out rc=0 line
  out=$(WINEDEBUG=err+all wine reg query 'HKCU\Software\Wine' </dev/null 2>&1 >/dev/null) || rc=$?
  line=$(grep -m1 -E 'err:|could not|rror' <<<"$out" || true)
  echo "exit value $rc${line:+: $line}"
}

new_prefix() {  # driver settings as "key|value|type|data" lines on stdin
  stop_server
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  wine wineboot -i >/dev/null 2>&1 </dev/null || true
  local key value type data
  while IFS='|' read -r key value type data; do
    wine reg add "$key" /v "$value" /t "$type" /d "$data" /f >/dev/null 2>&1 </dev/null
  done
  stop_server  # the registry is on disk once the server has ended
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: could not make the prefix $WINEPREFIX ($(why_not)); reinstall wine and wine64" >&2
    return 1
  fi
  echo "$fingerprint" >"$WINEPREFIX/.qb2-ready"
}

# Headless: with the default driver and no display CreateDialog fails (1400).
make_prefix() {
  ready && return 0
  new_prefix <<<'HKCU\Software\Wine\Drivers|Graphics|REG_SZ|null'
}

make_x11_prefix() {
  ready && return 0
  new_prefix <<'EOF'
HKCU\Software\Wine\X11 Driver|Decorated|REG_SZ|N
HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink|Tahoma|REG_MULTI_SZ|ipag.ttf,IPAGothic
HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager|ThemeActive|REG_SZ|0
EOF
}

# make, start the server, and see a program start; a prefix that does not is made
# once more (a stale one: made before wine32 was installed, or damaged).
up() {  # maker key value
  local maker=$1 key=$2 value=$3
  "$maker"
  link_ports
  start_server
  starts "$key" "$value" && return 0
  echo "wine: $WINEPREFIX does not start programs ($(why_not)): making it again" >&2
  stop_server
  rm -f "$WINEPREFIX/.qb2-ready"
  "$maker"
  link_ports
  start_server
  starts "$key" "$value" && return 0
  echo "wine: programs do not start in a new prefix $WINEPREFIX either ($(why_not)); reinstall wine and wine64 (apt-get install --reinstall wine wine64 libwine)" >&2
  stop_server
  return 1
}

# Lane k of PREFIX: PREFIX itself for the first, PREFIX-k for the others.
lane() { if [ "$2" = 1 ]; then echo "$1"; else echo "$1-$2"; fi; }

# A lane is a copy of the made prefix: the DLLs and programs of the Windows folders
# as hard links (they are only read, and they are most of its 700 MB), every other
# file a copy of its own (the registry is rewritten in place when it has links).
copy_prefix() {  # from to
  local from=$1 to=$2
  rm -rf "$to"
  cp -al "$from" "$to"
  (cd "$to" && find . -type f ! -path './drive_c/windows/system32/*' ! -path './drive_c/windows/syswow64/*' \
      ! -path './drive_c/windows/winsxs/*' -print0 |
    while IFS= read -r -d '' f; do cp -p --remove-destination "$from/$f" "$f"; done)
}

lanes() {  # up|down|make N PREFIX x86
  local cmd=$1 n=$2 base=$3 x86=$4 k made=$3.made
  if [ "$cmd" != down ] && [ "$x86" = 1 ]; then
    local state
    if ! state=$(qb2_wine_x86_state); then
      echo "wine: no x86 prefixes: $state"
      return 0
    fi
  fi
  if [ "$cmd" = down ]; then
    for k in $(seq 1 "$n"); do WINEPREFIX=$(lane "$base" "$k") stop_server & done
    wait
    return 0
  fi
  WINEPREFIX=$made make_prefix
  for k in $(seq 1 "$n"); do
    local p; p=$(lane "$base" "$k")
    if ! WINEPREFIX=$p ready; then WINEPREFIX=$p stop_server; copy_prefix "$made" "$p"; fi
  done
  [ "$cmd" = make ] && return 0
  local pids=() failed=0
  for k in $(seq 1 "$n"); do
    ( export WINEPREFIX; WINEPREFIX=$(lane "$base" "$k")
      link_ports
      start_server
      starts "${null_driver[@]}" && exit 0
      echo "wine: $WINEPREFIX does not start programs ($(why_not)): copying it again" >&2
      stop_server
      copy_prefix "$made" "$WINEPREFIX"
      link_ports
      start_server
      starts "${null_driver[@]}" && exit 0
      echo "wine: programs do not start in a new copy $WINEPREFIX either ($(why_not)); reinstall wine and wine64 (apt-get install --reinstall wine wine64 libwine)" >&2
      exit 1 ) &
    pids+=($!)
  done
  for k in "${pids[@]}"; do wait "$k" || failed=1; done
  return $failed
}

cmd=${1:-}
case "$cmd" in
  x86) qb2_wine_x86_state; exit ;;
  up|down|make|x11) [ $# -eq 2 ] || usage; export WINEPREFIX; WINEPREFIX=$(absolute "$2") ;;
  lanes) [ $# -ge 4 ] || usage ;;
  *) usage ;;
esac
if [ "$cmd" != down ]; then
  qb2_wine_check || exit 1
  fingerprint=$(qb2_wine_fingerprint)
fi
case "$cmd" in
  x11) up make_x11_prefix "${x11_driver[@]}" ;;
  make) make_prefix ;;
  up) up make_prefix "${null_driver[@]}" ;;
  down) stop_server ;;
  lanes)
    x86=0
    [ "${5:-}" = --x86 ] && x86=1
    case "$2" in up|down|make) ;; *) usage ;; esac
    [[ "$3" =~ ^[1-9][0-9]*$ ]] || usage
    lanes "$2" "$3" "$(absolute "$4")" "$x86" ;;
esac
