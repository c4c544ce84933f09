# Sourced by the Wine helpers: the environment every Wine run of this project uses.
# WINEPREFIX must be set by the caller.
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# Never offer to install Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Code page 932 for the ANSI text functions (works without locale-gen too).
export LC_ALL=ja_JP.UTF-8
# `wine` is tools/wine/bin/wine: the loader that can start on this machine.
qb2_wine_bin=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/bin
case ":$PATH:" in *":$qb2_wine_bin:"*) ;; *) export PATH="$qb2_wine_bin:$PATH" ;; esac
