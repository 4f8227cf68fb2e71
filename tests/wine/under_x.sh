#!/usr/bin/env bash
# Runs a Win32 program under Wine on a virtual X server of its own, in a
# prefix of its own (the stage's prefix has no display: its graphics driver
# is the null one, chosen once per session). The prefix is made on first use;
# its server is ended with the X server.
#   under_x.sh <prefix> <program.exe> [arguments...]
set -uo pipefail
export WINEPREFIX=$1; shift
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export ZOL_WINE=${ZOL_WINE:-/usr/lib/wine/wine64} ZOL_WINESERVER=${ZOL_WINESERVER:-/usr/lib/wine/wineserver}
command -v xvfb-run >/dev/null || { echo "xvfb-run is missing (scripts/setup installs xvfb)"; exit 1; }
exec xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    rm -rf "$WINEPREFIX"
    "$ZOL_WINE" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
    "$ZOL_WINESERVER" -w
  fi
  "$ZOL_WINE" "$@"
  rc=$?
  "$ZOL_WINESERVER" -k 2>/dev/null
  "$ZOL_WINESERVER" -w
  exit $rc' under_x "$@"
