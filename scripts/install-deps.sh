#!/bin/sh
# Installs the Debian packages the build needs, only those missing.
#   scripts/install-deps.sh           native build (library, tools, tests)
#   scripts/install-deps.sh --all     also the MinGW-w64 cross compilers, wine64,
#                                     llvm-dlltool and lld-link (MSVC import
#                                     libraries and their check), and the i386
#                                     multilib compilers with qemu-i386
set -eu
packages="cmake ninja-build g++ libgtest-dev libgmock-dev libcli11-dev libbenchmark-dev
  pkg-config dpkg-dev help2man doxygen python3-setuptools python3-pytest python3-pip python3-venv python3-wheel
  libusb-1.0-0-dev libumockdev-dev umockdev"
packages="$packages libtomlplusplus-dev nlohmann-json3-dev jq procps"  # orv-collect and its tests
packages="$packages clang libclang-rt-dev"  # the fuzz targets (libFuzzer)
packages="$packages gcovr"  # line and branch coverage of src/ by the test suite
if [ "${1:-}" = "--all" ]; then
  packages="$packages g++-mingw-w64-i686 g++-mingw-w64-x86-64 llvm lld wine64 gcc-multilib g++-multilib qemu-user"
fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing
fi
