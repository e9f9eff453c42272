#!/bin/sh
# Runs every test on a fresh Debian machine: installs what is missing, builds
# every preset (Linux, ASan+UBSan, ThreadSanitizer, Windows x86_64 and i686) and
# runs all tests (under ThreadSanitizer: the tests of the library's threads),
# then generates the reference documentation and builds and checks the packages.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --all
jobs=$(nproc)
status=0
for preset in linux asan tsan mingw64 mingw32; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" || status=1
done
# The reference documentation: a Doxygen warning (an undocumented export) fails.
echo "=== docs ==="
scripts/docs.sh || status=1
# The packages: Debian packages and Windows zips built, unpacked and used.
echo "=== packages ==="
{ scripts/package.sh && tests/package/check_packages.sh; } || status=1
exit $status
