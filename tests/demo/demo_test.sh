#!/usr/bin/env bash
# Runs scripts/demo on the programs of this build and checks that every step
# showed its result and that nothing was left behind.
set -uo pipefail
bin=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
before=$(ls -d /tmp/zol-demo.* 2>/dev/null | sort)
out=$(ZOL_DEMO_BIN=$bin "$src/scripts/demo" 2>&1)
rc=$?
echo "$out"
[ $rc -eq 0 ] || { echo "FAIL: demo exited with $rc"; exit 1; }
for want in '|  Welcome to ZOL!' '|Coffee          2.50|' 'Thank' '|Please pay     4.75' \
            "'%B4000123456789010^DEMO/CARD^28121010000000000000?\\r;4000123456789010=28121010000000000000?\\r+011234567890123456=000000000000000000?\\r'" \
            "'%B4000123456789010^DEMO/CARD^2812101?\\rE" 'no process or file is left behind'; do
  grep -qF -- "$want" <<<"$out" || { echo "FAIL: the output lacks: $want"; exit 1; }
done
if grep -E '4000123456789010' <<<"$(sed -n '/The log file/,$p' <<<"$out")" >/dev/null; then
  echo "FAIL: a whole card number reached the log"; exit 1
fi
after=$(ls -d /tmp/zol-demo.* 2>/dev/null | sort)
[ "$before" = "$after" ] || { echo "FAIL: the demo left its folder behind"; exit 1; }
echo "demo: ok"
