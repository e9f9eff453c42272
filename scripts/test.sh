#!/bin/sh
# Runs every test on a fresh Debian machine: installs what is missing, builds
# every preset (Linux, ASan+UBSan, ThreadSanitizer, Windows x86_64 and i686) and
# runs all tests (under ThreadSanitizer: the tests of the library's threads;
# fuzz: every corpus replayed, then each fuzz target for a short budget).
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --all
jobs=$(nproc)
status=0
for preset in linux asan tsan fuzz mingw64 mingw32; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" || status=1
done
exit $status
