#!/bin/sh
# Runs serial_host under wine64 on COM<n>: a pty served by orv-sim of the linux
# build, linked into the Wine prefix (which a first run of the host makes).
# Without that orv-sim the test is skipped (77).
#   run_serial_pty.sh <orv-sim> <wine-run.sh> <serial_host.exe> <n>
set -u
: "${WINEPREFIX:?WINEPREFIX must name the private Wine prefix}"
sim=$1 wine_run=$2 host=$3 com=$4
[ -x "$sim" ] || { echo "SKIPPED: no $sim"; exit 77; }
. "$(dirname "$0")/../script_support.sh"
"$wine_run" "$host" || exit 1
shown=$work/sim.log
start_sim "$shown" --pty --data "$work/data"
ln -sfn "$where" "$WINEPREFIX/dosdevices/com$com"
"$wine_run" "$host" "$com" || fail "serial_host on COM$com"
