#!/usr/bin/env bash
# Runs a Windows program of this project under Wine: the emulator of the Windows
# trees (ctest runs every Windows test through it). The prefix comes from
# QB2_WINEPREFIX, else from the nearest "wineprefix" folder above the program.
#
# Tests run side by side in QB2_WINE_LANES prefixes ("lanes", made and started by
# `prefix.sh lanes up`): each run takes a lane no other run holds, for as long as
# it runs, and its COM ports (QB2_PORTS) are that lane's. Programs of one prefix
# share a window station and a registry, so one lane serves one test at a time.
#
# With QB2_WINE_X86=1 the program is a 32-bit one: where 32-bit programs cannot
# start here, the run says why and ends with 77, which ctest reports as skipped.
set -u
here=$(cd "$(dirname "$0")" && pwd)
if [ -z "${QB2_WINEPREFIX:-}" ]; then
  d=$(cd "$(dirname "$1")" && pwd)
  while [ "$d" != "/" ] && [ ! -d "$d/wineprefix" ]; do d=$(dirname "$d"); done
  if [ ! -d "$d/wineprefix" ]; then
    echo "wine-run.sh: set QB2_WINEPREFIX (no wineprefix folder above $1)" >&2
    exit 2
  fi
  QB2_WINEPREFIX="$d/wineprefix"
fi
case "$QB2_WINEPREFIX" in /*) ;; *) QB2_WINEPREFIX="$PWD/$QB2_WINEPREFIX" ;; esac

if [ "${QB2_WINE_X86:-0}" = 1 ]; then
  . "$here/check.sh"
  if ! state=$(qb2_wine_x86_state); then
    echo "wine-run: skipped, 32-bit Windows programs cannot start: $state"
    exit 77
  fi
  # The pty shim is preloaded as ".../\$LIB/lib...so": the loader picks the
  # 32-bit build for the 32-bit processes, the 64-bit one for the rest.
  if [ -n "${QB2_PTYSHIM:-}" ] && [ ! -f "${QB2_PTYSHIM//\$LIB/lib/i386-linux-gnu}" ]; then
    echo "wine-run: skipped, no 32-bit pty shim ${QB2_PTYSHIM//\$LIB/lib/i386-linux-gnu} (install gcc-multilib and build the native tree)"
    exit 77
  fi
fi

# A free lane: the lock is held on descriptor 9 by this shell, never by Wine's
# processes (a virtual unit they start may outlive the test by minutes).
lanes=${QB2_WINE_LANES:-1}
lane_of() { if [ "$1" = 1 ]; then echo "$QB2_WINEPREFIX"; else echo "$QB2_WINEPREFIX-$1"; fi; }
prefix=""
for _ in $(seq 1 6000); do  # ten minutes at most
  for k in $(seq 1 "$lanes"); do
    p=$(lane_of "$k")
    exec 9>"$p.lock"
    if flock -n 9; then prefix=$p; break 2; fi
    exec 9>&-
  done
  sleep 0.1
done
if [ -z "$prefix" ]; then
  echo "wine-run.sh: no free Wine prefix among $lanes lanes of $QB2_WINEPREFIX" >&2
  exit 2
fi

export WINEPREFIX=$prefix QB2_PORTS=$prefix.ports
. "$here/env.sh"
# The pty shim answers the modem-status ioctls that Linux ptys refuse, so that
# WaitCommEvent blocks on a pty as it does on a real port.
if [ -n "${QB2_PTYSHIM:-}" ]; then export LD_PRELOAD=$QB2_PTYSHIM; fi

# The program's output goes through a file, read out as it grows until the program
# ends: processes that Wine or the test start (the desktop's explorer.exe, which
# lives until a second after the lane's last window closes, perhaps in the next
# test; a virtual unit) inherit the file, not the caller's pipe, which ctest would
# otherwise wait on until they end.
out=$(mktemp "${TMPDIR:-/tmp}/qb2-wine-run.XXXXXX")
wine "$@" >"$out" 2>&1 9>&- &
pid=$!
tail -n +1 -s 0.05 -f --pid="$pid" "$out" 9>&- &
reader=$!
wait "$pid"
status=$?
wait "$reader"
rm -f "$out"
exit "$status"
