#!/bin/sh
# Builds the packages into build/packages/: the Debian packages liborv-lib1,
# liborv-lib-dev and orv-tools, and the Windows zips orv_lib-<version>-win64.zip
# and -win32.zip (the DLL, what hosts build with, and orvctl.exe). Each is
# built in a release build of its own under build/.
#   scripts/package.sh [deb] [win64] [win32]     (default: all three)
set -eu
cd "$(dirname "$0")/.."
out=$(pwd)/build/packages
mkdir -p "$out"
jobs=$(nproc)
kinds=${*:-deb win64 win32}
for kind in $kinds; do
  echo "=== package: $kind ==="
  dir=build/package-$kind
  case $kind in
  deb)
    cmake --preset linux -B "$dir" -DORV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
    cmake --build "$dir" -j "$jobs"
    generator=DEB
    ;;
  win64 | win32)
    preset=mingw64; [ "$kind" = win32 ] && preset=mingw32
    cmake --preset "$preset" -B "$dir" >/dev/null
    cmake --build "$dir" -j "$jobs" --target orv_lib orv_lib_host_implib orv_lib_msvc_implib orvctl
    generator=ZIP
    ;;
  *) echo "unknown package kind: $kind" >&2; exit 2 ;;
  esac
  (cd "$dir" && cpack -G "$generator" -B "$out" >/dev/null)
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"
