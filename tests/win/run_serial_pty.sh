#!/bin/sh
# Runs serial_host under wine64 on COM<n>: a pty served by orv-sim of the linux
# build, linked into the Wine prefix (which a first run of the host makes).
# Without that orv-sim the test is skipped (77).
#   run_serial_pty.sh <orv-sim> <wine-run.sh> <serial_host.exe> <n>
set -u
: "${WINEPREFIX:?WINEPREFIX must name the private Wine prefix}"
sim=$1 wine_run=$2 host=$3 com=$4
[ -x "$sim" ] || { echo "SKIPPED: no $sim"; exit 77; }
"$wine_run" "$host" || exit 1
dir=$(mktemp -d)
"$sim" --pty --data "$dir/data" >"$dir/sim.log" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid; rm -rf "$dir"' EXIT
for _ in $(seq 100); do
  pty=$(sed -n 's/^orv-sim: serial line at //p' "$dir/sim.log")
  [ -n "$pty" ] && break
  sleep 0.05
done
[ -n "$pty" ] || { echo "FAILED: orv-sim did not start"; cat "$dir/sim.log"; exit 1; }
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com$com"
"$wine_run" "$host" "$com" || { sed 's/^/  sim| /' "$dir/sim.log"; exit 1; }
