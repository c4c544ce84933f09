#!/usr/bin/env bash
# check_pe.sh OBJDUMP FILE i386|x86-64 [gui|console]
# The EXE must be a program of the given machine and subsystem (GUI by default) and
# must not import any MinGW runtime DLL (without -static, a missing runtime DLL
# makes it exit 53 silently).
set -euo pipefail
objdump=$1 file=$2 arch=$3 subsystem=${4:-gui}
head=$("$objdump" -f "$file")
dll=$("$objdump" -p "$file")
case "$arch" in
  i386) fmt='file format pei-i386'; magic='Magic\s+010b' ;;
  x86-64) fmt='file format pei-x86-64'; magic='Magic\s+020b' ;;
  *) echo "unknown arch $arch"; exit 2 ;;
esac
grep -q "$fmt" <<<"$head" || { echo "not $fmt:"; echo "$head"; exit 1; }
grep -Eq "$magic" <<<"$dll" || { echo "optional header magic is not $magic"; exit 1; }
if [ "$subsystem" = console ]; then
  grep -Eq 'Subsystem\s+00000003' <<<"$dll" || { echo "not a console subsystem program"; exit 1; }
else
  grep -Eq 'Subsystem\s+00000002' <<<"$dll" || { echo "not a GUI (windows) subsystem program"; exit 1; }
fi
if grep -Ei 'DLL Name: (libstdc|libgcc|libwinpthread|msvcp)' <<<"$dll"; then
  echo "imports a runtime DLL: not linked -static"; exit 1
fi
echo "$file: $fmt, $subsystem, imports: $(grep 'DLL Name' <<<"$dll" | awk '{print $3}' | tr '\n' ' ')"
