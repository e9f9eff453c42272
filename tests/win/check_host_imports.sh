#!/bin/sh
# A host linked against the import library must import the thirteen functions
# from Orv_Lib.dll by their undecorated names, and nothing but system DLLs
# besides (no MinGW runtime DLL to ship with it). With MACHINE (i386,
# i386:x86-64) it must also be built for that machine.
#   check_host_imports.sh OBJDUMP HOST.exe [MACHINE]
set -eu
objdump=$1 host=$2 machine=${3:-}
if [ -n "$machine" ] && ! "$objdump" -f "$host" | grep -q "architecture: $machine,"; then
  echo "$host is not $machine:"; "$objdump" -f "$host"; exit 1
fi
dump=$("$objdump" -p "$host")
for dll in $(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
  case $(printf '%s' "$dll" | tr 'A-Z' 'a-z') in
  orv_lib.dll | kernel32.dll | msvcrt.dll | ws2_32.dll | user32.dll | advapi32.dll) ;;
  *) echo "$host imports $dll, not a system DLL"; exit 1 ;;
  esac
done
names=$(printf '%s\n' "$dump" | sed -n '/DLL Name: Orv_Lib.dll/,/^$/p' | awk 'NF >= 2 && $1 ~ /^[0-9a-f]+$/ { print $NF }' | grep '^Ol_' | sort)
count=$(printf '%s\n' "$names" | grep -c '^Ol_[A-Za-z_]*$' || true)
if [ "$count" -ne 13 ]; then
  echo "host imports from Orv_Lib.dll:"; printf '%s\n' "$names"; exit 1
fi
echo "$(basename "$host") imports 13 undecorated names from Orv_Lib.dll and only system DLLs besides"
