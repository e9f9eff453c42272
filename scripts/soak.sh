#!/bin/sh
# A long soak of the three links: many exchanges against the register sides
# of tools/register, each with one fault picked at random from the fault
# matrix and followed by an undisturbed exchange. Each cell checks its result,
# what the host sent after the fault, the files and that no exchange took
# longer than its limits allow; each link's run checks that descriptors,
# threads and mappings end where they began. The default preset is asan, so
# LeakSanitizer checks the heap when the run ends.
#
#   scripts/soak.sh [CELLS [SEED]]
#
# CELLS: faults per exchange direction and link (default 500; the test command
# runs 12). SEED: repeat a run; without it a random seed is used. Every run
# prints its seeds (ORV_SOAK_SEED=...). ORV_SOAK_PRESET picks another preset.
set -eu
cd "$(dirname "$0")/.."
preset=${ORV_SOAK_PRESET:-asan}
ORV_SOAK_CELLS=${1:-500}
export ORV_SOAK_CELLS
if [ $# -ge 2 ]; then
  ORV_SOAK_SEED=$2
  export ORV_SOAK_SEED
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target orv_tests
exec "build/$preset/tests/orv_tests" --gtest_filter='*/Soak'
