#!/bin/sh
# The main job on a fresh Debian machine: installs what is missing, builds the
# library and its tools, and runs orvctl demo: a send and a receive of a
# two-file series over TCP and over a pty against the register simulator.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset linux -DORV_BUILD_TESTS=OFF >/dev/null
cmake --build --preset linux -j "$(nproc)"
exec build/linux/tools/orvctl demo "$@"
