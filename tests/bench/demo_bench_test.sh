#!/usr/bin/env bash
# scripts/demo --bench on the programs of this build: it prints the page's
# address, its steps show through the bench's API, it keeps running until
# stopped, and then leaves nothing behind.
set -uo pipefail
bin=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
fail() {
  echo "FAIL: $*"; cat "$out"
  kill -TERM "$pid" 2>/dev/null && wait "$pid"
  exit 1
}
out=$(mktemp /tmp/zol-demo-bench-test.XXXXXX)
trap 'rm -f "$out"' EXIT
ZOL_DEMO_BIN=$bin "$src/scripts/demo" --bench >"$out" 2>&1 &
pid=$!
for _ in $(seq 2400); do
  grep -q 'The bench keeps running' "$out" && break
  kill -0 "$pid" 2>/dev/null || fail "the demo ended early"
  sleep 0.05
done
grep -q 'The bench keeps running' "$out" || fail "the demo did not reach its last step within 120 s"
url=$(grep -o 'http://127.0.0.1:[0-9]*/?token=[0-9a-f]*' "$out" | head -n 1)
[ -n "$url" ] || fail "no page address with its token printed"
api=${url%%\?*}
token=${url#*token=}
refused=$(curl -s -o /dev/null -w '%{http_code}' "${api}api/devices/ld")
[ "$refused" = 403 ] || fail "the API answered $refused without the token"
work=$(grep -o '/tmp/zol-demo\.[A-Za-z0-9]*' "$out" | head -n 1)
[ -d "$work" ] || fail "no work folder shown"
display=$(curl -s -H "X-Bench-Token: $token" "${api}api/devices/ld")
grep -qF '"Please pay     4.75 "' <<<"$display" || fail "the display's last text is not on the API: $display"
reader=$(curl -s -H "X-Bench-Token: $token" "${api}api/devices/msr")
grep -qF '"error":[2]' <<<"$reader" || fail "the last swipe (track 2 damaged) is not on the API: $reader"
page=$(curl -s "$url")
grep -qF '<title>ZOL test bench</title>' <<<"$page" || fail "the page is not served"
kill -TERM "$pid"
for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$pid" 2>/dev/null && fail "the demo did not stop within 30 s"
wait "$pid"
rc=$?
[ $rc -eq 0 ] || fail "the demo exited with $rc"
grep -q 'no process or file is left behind' "$out" || fail "no closing line"
[ -e "$work" ] && fail "the demo left $work behind"
curl -s --max-time 2 "$url" >/dev/null && fail "the bench still answers after the stop"
echo "demo --bench: ok"
