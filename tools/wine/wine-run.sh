#!/usr/bin/env bash
# Runs a Windows program of this project under Wine: the emulator of the win64 tree
# (ctest runs every Windows test through it). The prefix comes from QB2_WINEPREFIX,
# else from the nearest "wineprefix" folder above the program.
set -u
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
export WINEPREFIX=$QB2_WINEPREFIX
. "$(dirname "$0")/env.sh"
# The pty shim answers the modem-status ioctls that Linux ptys refuse, so that
# WaitCommEvent blocks on a pty as it does on a real port.
if [ -n "${QB2_PTYSHIM:-}" ]; then export LD_PRELOAD=$QB2_PTYSHIM; fi
exec wine "$@"
