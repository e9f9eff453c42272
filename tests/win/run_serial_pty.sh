#!/bin/sh
# Runs the Windows serial test: creates the Wine prefix if needed, then lets
# the register peer (built for the Linux end) map a pty to COM<n> and run the
# host against it.
#   run_serial_pty.sh <serial_register_peer> <wine-run.sh> <serial_host.exe> <com number>
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the private Wine prefix}"
peer=$1 wine_run=$2 host=$3 com=$4
"$wine_run" "$host" --noop
exec "$peer" "$WINEPREFIX" "$com" "$wine_run" "$host" "$com"
