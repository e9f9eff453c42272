#!/bin/sh
# Runs one fuzz target: scripts/fuzz.sh TARGET SECONDS
#   TARGET   serial, net, usb, header or files (tests/fuzz/fuzz_TARGET.cpp)
#   SECONDS  how long to fuzz; 0 replays the seed corpus once and stops
# Builds the fuzz preset first unless ORV_FUZZ_BUILD names a build folder.
# New inputs collect in <build>/corpus/TARGET (kept between runs); a crash
# leaves its input as <build>/crash-* (copy it into tests/fuzz/corpus/TARGET
# once fixed). The last line tells the executions reached.
set -eu
[ $# -eq 2 ] || { echo "usage: $0 TARGET SECONDS" >&2; exit 2; }
target=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_FUZZ_BUILD:-}
if [ -z "$build" ]; then
  build=$root/build/fuzz
  (cd "$root" && cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j 2)
fi
bin=$build/tests/fuzz/fuzz_$target
seeds=$root/tests/fuzz/corpus/$target
dict=$root/tests/fuzz/orv.dict
[ -x "$bin" ] || { echo "no fuzz target $bin" >&2; exit 2; }
if [ "$seconds" -eq 0 ]; then
  exec "$bin" -runs=0 "$seeds"
fi
scratch=$build/corpus/$target
mkdir -p "$scratch"
exec "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -dict="$dict" \
  -artifact_prefix="$build/" -print_final_stats=1 "$scratch" "$seeds"
