#!/bin/sh
# A host linked against the import library must import the thirteen functions
# from Orv_Lib.dll by their undecorated names.
set -eu
dump=$("$1" -p "$2")
names=$(printf '%s\n' "$dump" | sed -n '/DLL Name: Orv_Lib.dll/,/^$/p' | awk 'NF >= 2 && $1 ~ /^[0-9a-f]+$/ { print $NF }' | grep '^Ol_' | sort)
count=$(printf '%s\n' "$names" | grep -c '^Ol_[A-Za-z_]*$' || true)
if [ "$count" -ne 13 ]; then
  echo "host imports from Orv_Lib.dll:"; printf '%s\n' "$names"; exit 1
fi
echo "host imports 13 undecorated names from Orv_Lib.dll"
