#!/bin/sh
# The DLL is a PE32 i386 module, exports ORVA_CreateDevice undecorated, and
# imports system DLLs only (no runtime DLLs of the compiler).
set -eu
dll="$1"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
out=$("$objdump" -p "$dll")
echo "$out" | grep -q 'file format pei-i386' || { echo "not PE32 i386"; exit 1; }
echo "$out" | grep -Eq '^[[:space:]]+\[ *[0-9]+\] ORVA_CreateDevice$' || { echo "no plain ORVA_CreateDevice export"; echo "$out" | sed -n '/Export/,/^$/p'; exit 1; }
bad=$(echo "$out" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' |
      grep -Ev '^(kernel32|user32|advapi32|ws2_32|msvcrt|gdi32|ole32|oleaut32|shell32|version|ntdll)\.dll$' || true)
[ -z "$bad" ] || { echo "non-system imports: $bad"; exit 1; }
echo "PE32 i386, plain export, system imports only"
