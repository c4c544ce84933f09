#!/usr/bin/env bash
# Installs the Debian packages a command needs, and the ja_JP.UTF-8 locale.
# Idempotent: when everything is present it changes nothing and needs no network.
#
#   bash scripts/setup.sh run      what scripts/run.sh runs: the EXEs built with
#                                  MinGW-w64 and run under Wine, the virtual unit
#                                  (unixODBC: every Linux build links it)
#   bash scripts/setup.sh bench    that, and what a person needs to see the bench
#                                  (Xvfb, Japanese fonts, screenshots)
#   bash scripts/setup.sh test     everything the tests build and run (the default):
#                                  with PostgreSQL and its ODBC driver for the line
#                                  database's tests, and, if it can, 32-bit Wine for
#                                  the x86 tests
#
# The x86 tests need 32-bit Wine (wine32:i386, after enabling the i386
# architecture) and a 32-bit C compiler for the pty shim (gcc-multilib). They are
# optional: when they cannot be installed this says so in one line, the x86 tests
# report themselves skipped, and the install is not tried again for a day, by any
# checkout on this machine (~/.cache/qb2link/x86-install-failed; remove it to try at once).
set -euo pipefail
mode=${1:-test}

RUN_PACKAGES=(
  cmake ninja-build g++
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  locales procps
  unixodbc unixodbc-dev
)
BENCH_PACKAGES=(xvfb xauth imagemagick fonts-ipafont-gothic)
TEST_PACKAGES=(
  clang libclang-rt-14-dev llvm
  libgtest-dev googletest
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  file psmisc
  postgresql odbc-postgresql
)
X86_PACKAGES=(wine32:i386 gcc-multilib)

case "$mode" in
  run) PACKAGES=("${RUN_PACKAGES[@]}") ;;
  bench) PACKAGES=("${RUN_PACKAGES[@]}" "${BENCH_PACKAGES[@]}") ;;
  test) PACKAGES=("${RUN_PACKAGES[@]}" "${BENCH_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  *) echo "setup: usage: bash scripts/setup.sh [run|bench|test]" >&2; exit 2 ;;
esac

missing() {  # the packages of the arguments that are not installed
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then echo "$p"; fi
  done
}

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp /tmp/qb2-setup.XXXXXX)
trap 'rm -f "$log"' EXIT

apt_install() {  # packages: refreshes the package lists only when an install needs it
  # A failed install on stale lists gets one retry after an update. apt's own
  # messages go to the log; the caller says what failed.
  if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -E '^(lock|partial|auxfiles)$')" ]; then
    $SUDO apt-get update -qq >>"$log" 2>&1 || true
  fi
  $SUDO apt-get install -y -qq --no-install-recommends "$@" >>"$log" 2>&1 && return 0
  $SUDO apt-get update -qq >>"$log" 2>&1 || true
  $SUDO apt-get install -y -qq --no-install-recommends "$@" >>"$log" 2>&1
}

mapfile -t need < <(missing "${PACKAGES[@]}")
if [ "${#need[@]}" -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  if ! apt_install "${need[@]}"; then
    grep -E '^E:' "$log" | sort -u >&2 || true
    echo "setup: could not install ${need[*]}" >&2
    exit 1
  fi
fi

if [ "$mode" = test ]; then
  mapfile -t need < <(missing "${X86_PACKAGES[@]}")
  marker=${XDG_CACHE_HOME:-$HOME/.cache}/qb2link/x86-install-failed
  if [ "${#need[@]}" -gt 0 ] && { [ ! -f "$marker" ] || [ -n "$(find "$marker" -mmin +1440 2>/dev/null)" ]; }; then
    echo "setup: installing ${need[*]} (32-bit Wine for the x86 tests)"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $SUDO dpkg --add-architecture i386
      $SUDO apt-get update -qq >>"$log" 2>&1 || true  # the i386 lists; apt_install tries again
    fi
    if apt_install "${need[@]}"; then
      rm -f "$marker"
    else
      mkdir -p "$(dirname "$marker")"
      date >"$marker"
      echo "setup: could not install ${need[*]} ($(grep -m1 -E '^E:' "$log" | cut -c4- | cut -c1-80)); the x86 tests will be skipped, not tried again for a day"
    fi
  fi
fi

# ja_JP.UTF-8 for the Japanese code page under Wine (LC_ALL gives 932 even without it,
# but LANG-based runs and the screenshot need the real locale).
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "setup: generating ja_JP.UTF-8"
  if ! grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ja_JP.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  fi
  $SUDO locale-gen >/dev/null
fi
exit 0
