#!/usr/bin/env bash
# The installed package under a real systemd. systemd boots as PID 1 of its own
# PID and mount namespace, chrooted onto an overlay of / whose upper layer is
# a fresh folder under the build folder, with fresh tmpfs on its /tmp, /run
# and /var/tmp, a private /dev and a read-only /sys: booted on the machine's
# own root it would empty the machine's /tmp and change /etc and /var. The
# isolation is proved before the boot; the namespace is always killed and the
# folder removed. Exit 77 (skipped) where unshare or overlayfs are refused.
#   systemd_e2e.sh BUILD_DIR [--dry-run]   (--dry-run: prove the isolation, boot nothing)
set -uo pipefail
build=$(cd "$1" && pwd)
dry=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "needs root (namespaces, mounts, chroot)"
for tool in unshare nsenter chroot /lib/systemd/systemd cpack; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done

work=$(mktemp -d "$build/systemd-e2e.XXXXXX") || fail "no work folder"
case "$work" in /tmp/* | /var/tmp/* | /run/*) fail "work folder $work is under a folder systemd cleans" ;; esac
marker=$(mktemp /tmp/zol-e2e-marker.XXXXXX) || fail "no marker"
unshare_pid=
init=

# Our own cgroup, one per hierarchy, so what systemd makes there goes with it.
cgroups=()
make_cgroups() {
  local line id ctl path dir
  while IFS=: read -r id ctl path; do
    if [ -z "$ctl" ]; then dir=/sys/fs/cgroup/unified
    else dir=/sys/fs/cgroup/${ctl#name=}; fi
    [ -d "$dir$path" ] || continue
    mkdir -p "$dir$path/$(basename "$work")" 2>/dev/null && cgroups+=("$dir$path/$(basename "$work")")
  done </proc/self/cgroup
}
join_cgroups() { local c; for c in "${cgroups[@]}"; do echo "$1" >"$c/cgroup.procs" 2>/dev/null; done; }

teardown() {
  local pids
  if [ -n "$init" ]; then kill -KILL "$init" 2>/dev/null; fi
  if [ -n "$unshare_pid" ]; then
    kill -KILL "$unshare_pid" 2>/dev/null
    wait "$unshare_pid" 2>/dev/null
  fi
  # Whatever was still in our cgroups (nothing, once PID 1 is gone).
  for c in "${cgroups[@]}"; do
    pids=$(cat "$c/cgroup.procs" 2>/dev/null)
    [ -n "$pids" ] && kill -KILL $pids 2>/dev/null
  done
  for c in "${cgroups[@]}"; do
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      find "$c" -depth -type d -exec rmdir {} + 2>/dev/null
      [ -d "$c" ] || break
      # The kernel frees a cgroup only once its last task is gone.
      sleep 0.2
    done
  done
  # The mounts lived only in the namespace; nothing of them is left here.
  if grep -q " ${work}/" /proc/self/mountinfo; then
    echo "FAIL: mounts under $work remain"; return
  fi
  rm -rf "$work"
  rm -f "$marker"
}
trap teardown EXIT

# Namespaces and overlayfs must be allowed here.
unshare --fork --pid --mount --propagation private true 2>/dev/null || skip "unshare of PID and mount namespaces refused"
mkdir -p "$work/probe/upper" "$work/probe/work" "$work/probe/root"
unshare --mount --propagation private mount -t overlay overlay \
  -o "lowerdir=/,upperdir=$work/probe/upper,workdir=$work/probe/work" "$work/probe/root" 2>/dev/null ||
  skip "overlayfs over / refused"

if [ "$dry" != --dry-run ]; then
  # The package, as a user gets it.
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1) ||
    { tail -n 20 "$work/cpack.log"; fail "cpack"; }
  deb=$(ls "$work"/pkg/zol_*.deb) || fail "no package"
  mkdir -p "$work/upper/root"
  cp "$deb" "$work/upper/root/"
  cp "$here/app.py" "$work/upper/root/app.py"
fi
mkdir -p "$work/upper" "$work/ovlwork" "$work/root"

make_cgroups
# PID 1 of the namespace runs boot.sh: the mounts, the isolation proof, then
# (unless dry) exec systemd in the chroot.
unshare --fork --pid --mount --net --propagation private \
  bash "$here/boot.sh" "$work" "$marker" "$dry" >"$work/boot.log" 2>&1 &
unshare_pid=$!
for _ in $(seq 1 100); do
  init=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null | awk '{print $1}')
  [ -n "$init" ] && break
  sleep 0.05
done
[ -n "$init" ] || fail "the namespace's PID 1 did not start"
join_cgroups "$init"

if [ "$dry" = --dry-run ]; then
  wait "$unshare_pid"; rc=$?
  cat "$work/boot.log"
  [ -e "$marker" ] || fail "the marker in the host's /tmp is gone"
  [ $rc -eq 0 ] || fail "isolation not proved"
  echo "dry run: isolation proved, nothing booted"
  exit 0
fi

# Commands inside: the namespace's mounts, PIDs and root.
ins() { nsenter -t "$init" -m -p -n -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
# Waits up to $1 seconds for a command inside to succeed.
wait_in() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until ins "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}
show() {
  echo "--- boot log"; tail -n 30 "$work/boot.log"
  echo "--- units"; ins systemctl --no-pager status vcomd ZOLLOGSVC ZOLSVC 2>&1 | tail -n 60
  echo "--- journal"; ins journalctl --no-pager -n 60 2>&1
  echo "--- log"; ins grep -a -e Msr -e MSR -e ZOLSVC /opt/halvern/zol/log/zol.log 2>&1 | cut -f4- | cut -c1-160 | tail -n 60
}
check() { local what=$1; shift; "$@" || { show; fail "$what"; }; }

end=$((SECONDS + 90))
until grep -q '^isolation: ok' "$work/boot.log" &&
  [[ "$(ins systemctl is-system-running 2>/dev/null)" =~ ^(running|degraded)$ ]]; do
  [ $SECONDS -lt $end ] || { show; fail "systemd did not finish booting"; }
  kill -0 "$init" 2>/dev/null || { show; fail "systemd ended"; }
  sleep 0.2
done
[ -e "$marker" ] || fail "the marker in the host's /tmp is gone"
echo "booted: $(ins systemctl is-system-running)"

bash "$here/inside.sh" "$init" "$build" || { show; fail "inside"; }
[ -e "$marker" ] || fail "the marker in the host's /tmp is gone"
echo "systemd e2e: ok"
