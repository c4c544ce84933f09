#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, and the ja_JP.UTF-8
# locale. Idempotent: when everything is present it changes nothing and needs no network.
# The x86 tree's Wine tests need 32-bit Wine (wine32:i386, after enabling the i386
# architecture) and a 32-bit C compiler for the pty shim (gcc-multilib); when those
# cannot be installed this says so and goes on: the x86 tests then report
# themselves skipped.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev llvm
  libgtest-dev googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64
  xvfb xauth imagemagick fonts-ipafont-gothic
  locales file procps psmisc
)

X86_PACKAGES=(wine32:i386 gcc-multilib)

missing() {  # the packages of the arguments that are not installed
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then echo "$p"; fi
  done
}

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

apt_install() {  # packages: refreshes the package lists only when an install needs it
  # A failed install on stale lists gets one retry after an update.
  if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -E '^(lock|partial|auxfiles)$')" ]; then
    $SUDO apt-get update -qq
  fi
  $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null && return 0
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

mapfile -t need < <(missing "${PACKAGES[@]}")
if [ "${#need[@]}" -gt 0 ]; then
  echo "setup: installing ${need[*]}"
  apt_install "${need[@]}"
fi

mapfile -t need < <(missing "${X86_PACKAGES[@]}")
if [ "${#need[@]}" -gt 0 ]; then
  echo "setup: installing ${need[*]} (32-bit Wine for the x86 tests)"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    $SUDO apt-get update -qq || true  # the i386 lists; apt_install tries again
  fi
  apt_install "${need[@]}" || echo "setup: could not install ${need[*]}: the x86 Wine tests will be skipped"
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
