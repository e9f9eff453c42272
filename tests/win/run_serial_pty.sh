#!/bin/sh
# Runs the Windows serial test: builds the Linux pty peer with the native C
# compiler, creates the Wine prefix if needed, then lets the peer run the host.
#   run_serial_pty.sh <work dir> <wine-run.sh> <serial_host.exe> <com number>
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the private Wine prefix}"
work=$1 wine_run=$2 host=$3 com=$4
peer="$work/pty_peer"
cc -O1 -o "$peer" "$(dirname "$0")/pty_peer.c"
"$wine_run" "$host" --noop
exec "$peer" "$WINEPREFIX" "$com" "$wine_run" "$host" "$com"
