#!/usr/bin/env bash
# The Wine prefix of the kernel stage, made on this machine before the guest
# boots (a fresh one takes more memory than the guest has):
#   wine_kernel_prefix.sh PREFIX
# Its COM3 is the driver's /dev/ttyZOL3: Wine's mount manager remakes the
# dosdevices links at every start from the Ports key and the serial ports it
# finds, so a link alone would not stay. A prefix Wine cannot make is reported
# and left out (the Wine case then skips); the build goes on.
set -euo pipefail
prefix=$1
wine=${ZOL_WINE:-/usr/lib/wine/wine64}
wineserver=${ZOL_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
log=$prefix.log
rm -rf "$prefix"
{
  "$wine" wineboot -i &&
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM3 /d /dev/ttyZOL3 /f &&
    # No display in the guest: the null driver, not a failing X11 one.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f &&
    "$wineserver" -w
} >"$log" 2>&1 || {
  tail -n 20 "$log"
  echo "wine_kernel_prefix.sh: no Wine prefix made in $prefix (see $log)" >&2
  rm -rf "$prefix"
}
