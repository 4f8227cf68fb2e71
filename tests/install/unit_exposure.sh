#!/usr/bin/env bash
# The exposure figure of each packaged unit, as systemd rates it offline; each
# must be at or below 2.0. Prints one line per unit.
set -uo pipefail
build=$1
limit=2.0
command -v systemd-analyze >/dev/null || { echo "SKIP: systemd-analyze is missing"; exit 0; }
rc=0
for u in vcomd ZOLLOGSVC ZOLSVC; do
  out=$(systemd-analyze security --offline=true --no-pager "$build/packaging/systemd/$u.service" 2>&1)
  figure=$(sed -nE 's/.*Overall exposure level for [^:]*: ([0-9.]+) .*/\1/p' <<<"$out")
  if [ -z "$figure" ]; then
    echo "$u.service: no exposure figure"; echo "$out" | tail -n 5; rc=1; continue
  fi
  if awk -v f="$figure" -v l="$limit" 'BEGIN { exit !(f <= l) }'; then
    echo "$u.service exposure $figure (limit $limit): ok"
  else
    echo "$u.service exposure $figure (limit $limit): too high"; echo "$out" | grep '✗'; rc=1
  fi
done
exit $rc
