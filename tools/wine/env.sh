# Sourced by the Wine helpers: the environment every Wine run of this project uses.
# WINEPREFIX must be set by the caller.
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
# Never offer to install Mono or Gecko.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Code page 932 for the ANSI text functions (works without locale-gen too).
export LC_ALL=ja_JP.UTF-8
