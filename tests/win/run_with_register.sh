#!/bin/sh
# Runs a Windows host program under wine64 against a register side running on
# the Linux end: starts the register, waits until it listens (it writes its
# loopback port to a file), runs the host with the port as its argument and
# then waits for the register's own verdict. Both must pass.
# Usage: run_with_register.sh REGISTER WINE_RUN HOST
set -u
register=$1 wine_run=$2 host=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$register" "$dir/port" >"$dir/register.log" 2>&1 &
pid=$!
tries=0
while [ ! -s "$dir/port" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$pid" 2>/dev/null; then
    echo "FAILED: the register did not start listening"
    kill "$pid" 2>/dev/null
    cat "$dir/register.log"
    exit 1
  fi
  sleep 0.1
done
status=0
"$wine_run" "$host" "$(cat "$dir/port")" || status=1
# The register ends by itself once the host closes, or after its time limits.
wait "$pid" || status=1
cat "$dir/register.log"
exit $status
