#!/usr/bin/env bash
# Runs a Win32 program under Wine in a prefix made afresh for it, as a new
# machine: the prefix's server is kept up for the whole run (services live
# only while it is), and ended with it.
#   fresh_prefix.sh <prefix> <program.exe> [arguments...]
set -uo pipefail
export WINEPREFIX=$1; shift
export WINEDEBUG=${WINEDEBUG:--all}
# No Start-menu entries of the host's desktop for the links a program makes.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=};winemenubuilder.exe=d"
wine=${ZOL_WINE:-/usr/lib/wine/wine64}
wineserver=${ZOL_WINESERVER:-/usr/lib/wine/wineserver}
log=$WINEPREFIX.log
"$wineserver" -k 2>/dev/null
rm -rf "$WINEPREFIX"
"$wine" wineboot -i >"$log" 2>&1 || { tail -n 20 "$log"; echo "wineboot failed"; exit 1; }
"$wineserver" -w
# No display: the null graphics driver.
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$log" 2>&1 || { echo "reg add failed"; exit 1; }
"$wineserver" -w
"$wineserver" -p >>"$log" 2>&1 || { echo "wineserver -p failed"; exit 1; }
trap '"$wineserver" -k 2>/dev/null; "$wineserver" -w' EXIT
"$wine" "$@"
