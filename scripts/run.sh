#!/bin/sh
# The main job on a fresh Debian machine: installs what is missing, builds the
# library and its tools, and runs orvctl demo: a send and a receive of a
# two-file series over TCP and over a pty against the register simulator.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset linux -B build/run -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build build/run -j "$(nproc)"
if [ "${1:-}" = collect ]; then  # orv-collect --demo: a shop of eight registers
  shift
  exec build/run/tools/orv-collect --demo "$@"
fi
exec build/run/tools/orvctl demo "$@"
