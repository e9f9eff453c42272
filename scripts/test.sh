#!/bin/sh
# Runs every test on a fresh Debian machine: installs what is missing, builds
# every preset (Linux, ASan+UBSan, ThreadSanitizer, Windows x86_64 and i686) and
# runs all tests (under ThreadSanitizer: the tests of the library's threads).
# Ends with one line per preset and exits non-zero when any build or test
# failed, so the last lines tell the whole story.
#   scripts/test.sh [PRESET...]     (default: every preset below)
set -eu
cd "$(dirname "$0")/.."
presets=${*:-"linux asan tsan mingw64 mingw32"}
scripts/install-deps.sh --all
jobs=$(nproc)
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
summary=""
status=0
for preset in $presets; do
  echo "=== $preset ==="
  if ! cmake --preset "$preset" >"$log/$preset.configure" 2>&1; then
    cat "$log/$preset.configure"
    result="configure FAILED"
  elif ! cmake --build --preset "$preset" -j "$jobs"; then
    result="build FAILED"
  else
    ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log/$preset.ctest" || true
    counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests* failed out of \([0-9]*\)$/\1 \2/p' \
      "$log/$preset.ctest")
    if [ -z "$counts" ]; then
      result="tests did not run to the end"
    else
      set -- $counts
      result="$(($2 - $1)) passed, $1 failed"
      [ "$1" -eq 0 ] && result="$result: ok"
    fi
  fi
  case $result in *": ok") ;; *) status=1 ;; esac
  summary="$summary$(printf '%-10s %s' "$preset" "$result")
"
done
echo
echo "=== summary ==="
printf '%s' "$summary"
[ "$status" -eq 0 ] && echo "every preset passed" || echo "SOME PRESETS FAILED"
exit $status
