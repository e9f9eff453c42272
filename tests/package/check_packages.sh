#!/bin/sh
# Checks what scripts/package.sh made in build/packages/:
#  - each Debian package holds its files; unpacked into a private root, the C
#    examples build against it (CMake package and pkg-config) and run against
#    its orv-sim; the Python binding installs with pip and loads that library;
#  - each Windows zip holds its DLL with the right machine type, the header,
#    the import library, the .def and orvctl.exe for the same machine, which
#    imports only system DLLs and Orv_Lib.dll; the 32-bit import library
#    links a 32-bit host.
set -u
cd "$(dirname "$0")/../.." || exit 1
tree=$(pwd)
packages=$tree/build/packages
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/orvlib/_version.py)
. tests/script_support.sh

has() {  # listing path...
  listing=$1; shift
  for path in "$@"; do grep -q " $path\( ->.*\)\?$" "$listing" || fail "$(basename "$listing") lacks $path"; done
}

lib=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for deb in liborv-lib1 liborv-lib-dev orv-tools; do
  file=$packages/${deb}_${version}_$(dpkg --print-architecture).deb
  [ -f "$file" ] || fail "no $file"
  dpkg-deb -c "$file" | awk '{$1=$2=$3=$4=$5=""; print}' >"$work/$deb.list"
  dpkg -x "$file" "$work/root"
done
has "$work/liborv-lib1.list" "$lib/liborv_lib.so.1.2.0" "$lib/liborv_lib.so.1" \
  ./usr/share/doc/liborv-lib1/copyright ./usr/lib/udev/rules.d/70-orv-lib-usb.rules
has "$work/liborv-lib-dev.list" ./usr/include/orv_lib.h ./usr/include/orv_lib_version.h \
  "$lib/liborv_lib.so" "$lib/pkgconfig/orv_lib.pc" "$lib/cmake/OrvLib/OrvLibConfig.cmake" \
  "$lib/cmake/OrvLib/OrvLibConfigVersion.cmake"
has "$work/orv-tools.list" ./usr/bin/orvctl ./usr/bin/orv-sim ./usr/bin/orv-collect \
  ./usr/share/man/man1/orvctl.1.gz ./usr/share/man/man1/orv-sim.1.gz
# The group the udev rule names is the one the runtime package creates.
rule_group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$work/root/usr/lib/udev/rules.d/70-orv-lib-usb.rules")
dpkg-deb -e "$packages/liborv-lib1_${version}_$(dpkg --print-architecture).deb" "$work/control"
grep -q "groupadd --system $rule_group\$" "$work/control/postinst" 2>/dev/null ||
  fail "liborv-lib1 does not create the group $rule_group of its udev rule"
[ "$(objdump -p "$work/root/$lib/liborv_lib.so.1.2.0" | awk '/SONAME/ {print $2}')" = liborv_lib.so.1 ] \
  || fail "SONAME is not liborv_lib.so.1"
# Every library the tools load comes from a package orv-tools depends on.
depends=$(dpkg-deb -f "$packages/orv-tools_${version}_$(dpkg --print-architecture).deb" Depends)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for program in "$work/root/usr/bin/"*; do
  for soname in $(objdump -p "$program" | awk '/NEEDED/ {print $2}'); do
    owner=$(dpkg -S "$multiarch/$soname" 2>/dev/null | sed -n "s|^\([^:]*\):[^ ]* /\(usr/\)\?lib/$multiarch/$soname\$|\1|p" | head -n 1)
    [ "$soname" = liborv_lib.so.1 ] && owner=liborv-lib1
    echo "$depends" | grep -q "\(^\|, \)$owner\( \|,\|$\)" \
      || fail "orv-tools: $(basename "$program") needs $soname (${owner:-no package}), not in: $depends"
  done
done
zcat "$work/root/usr/share/man/man1/orvctl.1.gz" | grep -q '^\.SH OPTIONS' || fail "orvctl(1) has no options"

tests/consumer/consumer_test.sh "$work/root" /usr "$work/root/usr/bin/orv-sim" || fail "consumer"

/usr/bin/python3 -m pip install -q --no-build-isolation --no-deps --no-index --target "$work/py" ./python \
  >"$work/pip.log" 2>&1 || { cat "$work/pip.log"; fail "pip install"; }
rm -rf python/build python/orvlib.egg-info
got=$(cd "$work" && ORV_LIB_PATH="$work/root/$lib/liborv_lib.so.1" PYTHONPATH="$work/py" \
  /usr/bin/python3 -c 'import orvlib; print(orvlib.__version__, orvlib.Library().version())')
[ "$got" = "$version Ver 1.2" ] || fail "installed binding says: $got"
echo "debian packages: passed"

check_zip() {  # name machine triple msvc-arch
  name=$1 machine=$2 triple=$3 msvc=$4
  zip=$packages/orv_lib-$version-$name.zip
  [ -f "$zip" ] || fail "no $zip"
  /usr/bin/python3 -m zipfile -e "$zip" "$work/$name"
  top=$work/$name/orv_lib-$version-$name
  for path in bin/Orv_Lib.dll bin/orvctl.exe include/orv_lib.h include/orv_lib_version.h lib/libOrv_Lib_host.dll.a \
              lib/Orv_Lib.def lib/Orv_Lib.lib lib/pkgconfig/orv_lib.pc LICENSE README-windows.txt; do
    [ -f "$top/$path" ] || fail "$name zip lacks $path"
  done
  "$triple-objdump" -f "$top/bin/Orv_Lib.dll" | grep -q "architecture: $machine," \
    || fail "$name Orv_Lib.dll is not $machine: $("$triple-objdump" -f "$top/bin/Orv_Lib.dll")"
  ! "$triple-objdump" -h "$top/bin/Orv_Lib.dll" | grep -q '\.debug_' || fail "$name Orv_Lib.dll is not stripped"
  tests/win/check_host_imports.sh "$triple-objdump" "$top/bin/orvctl.exe" "$machine" \
    || fail "$name orvctl.exe"
  # An MSVC host (clang-cl and lld-link stand in for MSVC's compiler and linker;
  # no C runtime) links against Orv_Lib.lib and imports the DLL's plain names.
  clang --driver-mode=cl --target="$msvc-pc-windows-msvc" /GS- /O2 -I"$top/include" /c \
    /Fo"$work/$name-msvc.obj" -- tests/win/linked_host.c \
    && lld-link "$work/$name-msvc.obj" "$top/lib/Orv_Lib.lib" /nodefaultlib /entry:main \
         /subsystem:console /out:"$work/$name-msvc.exe" \
    && tests/win/check_host_imports.sh "$triple-objdump" "$work/$name-msvc.exe" "$machine" \
    || fail "an MSVC host does not link against the $name zip's Orv_Lib.lib"
}
check_zip win64 i386:x86-64 x86_64-w64-mingw32 x86_64
check_zip win32 i386 i686-w64-mingw32 i686
i686-w64-mingw32-gcc -Wall -Werror -I"$work/win32/orv_lib-$version-win32/include" tests/win/linked_host.c \
  -L"$work/win32/orv_lib-$version-win32/lib" -lOrv_Lib_host -o "$work/linked_host.exe" \
  || fail "a 32-bit host does not link against the zip's import library"
echo "windows zips: passed"
