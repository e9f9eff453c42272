#!/bin/sh
# Runs a Windows program under wine64 in the private prefix named by
# WINEPREFIX (set by the test), creating the prefix on first use.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the private Wine prefix}"
export WINEPREFIX WINEDEBUG=-all
wine=/usr/lib/wine/wine64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >"$WINEPREFIX.boot.log" 2>&1 || true
  # Without a display, window creation needs the null graphics driver.
  "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f \
    >>"$WINEPREFIX.boot.log" 2>&1 || true
  /usr/lib/wine/wineserver -w || true
fi
# exec: a signal sent to this script's process reaches the Windows program
# (Wine turns SIGINT into Ctrl-C).
exec "$wine" "$@" 2>>"$WINEPREFIX.stderr.log"
