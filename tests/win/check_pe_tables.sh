#!/bin/sh
# Checks a built Orv_Lib.dll: exactly the thirteen exports, undecorated, with
# ordinals 1..13 in alphabetical order, and imports from system DLLs only,
# among them user32 and gdi32 for the USB removal watch.
set -eu
objdump=$1
dll=$2
dump=$(mktemp)
trap 'rm -f "$dump"' EXIT
"$objdump" -p "$dll" >"$dump"

expected=$(printf '%s\n' Ol_Cancel Ol_Close Ol_EchoBack Ol_End Ol_Initialize Ol_Open_MWS \
  Ol_Open_RS Ol_Open_USB Ol_Read Ol_SignalWrite Ol_Version Ol_Write Ol_WriteRead | awk '{ print NR, $0 }')

base=$(sed -n 's/^Ordinal Base[[:space:]]*\([0-9]*\).*/\1/p' "$dump")
# "[   n] +base[   k] Name" lines of the name pointer table: ordinal = k + base.
actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$dump" |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*\(+base\[[[:space:]]*\([0-9]*\)\]\)\{0,1\}[[:space:]]*\([^[:space:]]*\)$/\2 \3/p')
if [ -z "$(printf '%s' "$actual" | cut -d' ' -f1 | tr -d '\n ')" ]; then
  # Older objdump prints "[n] Name" with n the index.
  actual=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' "$dump" |
    sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\([^[:space:]]*\)$/\1 \2/p' |
    awk -v base="$base" '{ print $1 + base, $2 }')
else
  actual=$(printf '%s\n' "$actual" | awk -v base="$base" '{ print $1 + base, $2 }')
fi
actual=$(printf '%s\n' "$actual" | sort -n)
if [ "$actual" != "$expected" ]; then
  echo "export table differs:"; printf '%s\n' "$actual"; exit 1
fi
echo "exports: 13 undecorated names, ordinals 1..13"

allowed="kernel32.dll msvcrt.dll winmm.dll version.dll ws2_32.dll user32.dll gdi32.dll advapi32.dll"
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' "$dump" | tr 'A-Z' 'a-z' | sort -u)
for dll_name in $imports; do
  case " $allowed " in
    *" $dll_name "*) ;;
    api-ms-win-crt-*) ;;
    *) echo "imports a non-system DLL: $dll_name"; exit 1 ;;
  esac
done
# The USB removal watch's window comes from user32, its class brush from gdi32.
for dll_name in kernel32.dll user32.dll gdi32.dll; do
  case " $(echo $imports) " in
    *" $dll_name "*) ;;
    *) echo "does not import $dll_name"; exit 1 ;;
  esac
done
echo "imports:" $imports
