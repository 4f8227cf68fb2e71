#!/usr/bin/env bash
# The Wine prefix the cross build's tests share, as a CTest fixture:
#   wine_prefix.sh setup     makes the prefix once and starts its server
#   wine_prefix.sh cleanup   ends what the tests left running in it
# WINEPREFIX names the prefix; the tests' environment sets it. Wine's own
# output goes to <prefix>.log, never to the test's pipes: programs the server
# starts outlive this script.
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX is not set}"
wine=${ZOL_WINE:-/usr/lib/wine/wine64}
wineserver=${ZOL_WINESERVER:-/usr/lib/wine/wineserver}
log=$WINEPREFIX.log

case "${1:-}" in
  setup)
    [ -x "$wine" ] || { echo "$wine is missing (scripts/setup installs wine)"; exit 1; }
    mkdir -p "$(dirname "$WINEPREFIX")"
    # system.reg marks a finished prefix: one cut short during wineboot is
    # made afresh.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      rm -rf "$WINEPREFIX"
      "$wine" wineboot -i >"$log" 2>&1 || { tail -n 20 "$log"; exit 1; }
      # Let the server write the new prefix out before tests start in parallel.
      "$wineserver" -w
    fi
    # No display here: the null graphics driver still lets programs make their
    # hidden notification windows.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >>"$log" 2>&1 || { tail -n 20 "$log"; exit 1; }
    "$wineserver" -w
    # Debian's wineserver ends as soon as no ordinary program runs, and takes
    # the prefix's service control manager and every service with it (services
    # count as system processes there). Windows keeps its manager up: so does
    # this server, for all the tests, with its session started once here.
    # Tests then neither race each other to start a server and a session (the
    # first four of a clean clone start together) nor land in one that is
    # shutting down between two tests.
    "$wineserver" -p >>"$log" 2>&1 || { tail -n 20 "$log"; exit 1; }
    "$wine" cmd /c exit >>"$log" 2>&1 || { tail -n 20 "$log"; exit 1; }
    echo "wine prefix ready: $WINEPREFIX"
    ;;
  cleanup)
    # Ends what a failed test may have left running in this prefix only.
    "$wineserver" -k >/dev/null 2>&1
    echo "wine prefix server ended: $WINEPREFIX"
    ;;
  *)
    echo "usage: wine_prefix.sh setup|cleanup"
    exit 2
    ;;
esac
