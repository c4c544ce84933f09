# Sourced by the Wine helpers (bash): what this machine's Wine can start, each
# answer one line a person can act on.
qb2_wine_dir=${QB2_WINE_DIR:-/usr/lib/wine}

# A command's output and messages, in English (the shell's own "Exec format error"
# too) and without any prefix (a loader asked only for its version needs none).
qb2_wine_quiet() { (unset WINEPREFIX; export LC_ALL=C LANG=C; "$@" 2>&1 </dev/null); }

# True when 64-bit Windows programs can start; else says in one line on stderr what
# failed and what to install.
qb2_wine_check() {
  local loader=$qb2_wine_dir/wine64 out
  if [ ! -x "$loader" ]; then
    echo "wine: cannot start Windows programs: $loader is missing; install wine and wine64 (bash scripts/setup.sh does)" >&2
    return 1
  fi
  if ! out=$(qb2_wine_quiet "$loader" --version); then
    echo "wine: cannot start Windows programs: $loader --version failed: ${out%%$'\n'*}; reinstall wine64 and libwine (apt-get install --reinstall wine64 libwine)" >&2
    return 1
  fi
}

# Prints "runs" when 32-bit Windows programs can start, else why not.
qb2_wine_x86_state() {
  local loader=$qb2_wine_dir/wine out
  if [ ! -e "$loader" ]; then
    echo "32-bit Wine is not installed (wine32:i386; bash scripts/setup.sh installs it)"
    return 1
  fi
  if out=$(qb2_wine_quiet "$loader" --version); then
    echo runs
    return 0
  fi
  out=${out%%$'\n'*}
  case "$out" in
    *"Exec format error"*) echo "this machine cannot run 32-bit programs ($loader: Exec format error)" ;;
    *) echo "the 32-bit Wine loader does not start ($loader --version: $out); reinstall wine32:i386" ;;
  esac
  return 1
}

# What a prefix was made with: a prefix made before wine32 was installed (or
# before it could run) lacks the 32-bit half and must be made again.
qb2_wine_fingerprint() {
  echo "wine64 $(qb2_wine_quiet "$qb2_wine_dir/wine64" --version); x86 $(qb2_wine_x86_state)"
}
