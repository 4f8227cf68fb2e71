#!/usr/bin/env bash
# zol-vcom-dkms installed as an administrator would: dkms builds zolvcom for
# the running kernel, the module loads with the packaged ports, udev gives
# the COM ports the serial ports' group, vcomd steps aside and writes the
# port count, and removing the package removes the module. Only on the kernel
# the stage boots (its writes vanish with the guest); skipped elsewhere.
#   dkms_test.sh SOURCE_DIR BUILD_DIR KERNEL_RELEASE
set -euo pipefail
src=$1 build=$2 release=$3
if [ "$(uname -r)" != "$release" ]; then
  echo "skipped: runs on $release (scripts/test dkms)"
  exit 77
fi
fail() { echo "FAIL: $*"; dmesg | tail -n 20; exit 1; }
wait_for() { for _ in $(seq 200); do eval "$1" && return 0; sleep 0.1; done; eval "$1"; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
echo "dkms_test: start" >/dev/kmsg
# dkms reads from process substitutions.
[ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd

deb=$("$src/packaging/dkms/make-deb" "$src/drivers/vcom/kernel" 9.9.9 "$stage")
contents=$(dpkg-deb -c "$deb")
for f in ./usr/src/zolvcom-9.9.9/dkms.conf ./usr/src/zolvcom-9.9.9/zolvcom.c ./lib/udev/rules.d/70-zol-vcom.rules \
         ./etc/modprobe.d/zolvcom.conf ./etc/modules-load.d/zolvcom.conf; do
  grep -q " $f\$" <<<"$contents" || fail "package lacks $f"
done
grep -q dkms <<<"$(dpkg-deb -f "$deb" Depends)" || fail "package does not depend on dkms"

DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" >"$stage/install.log" 2>&1 || { cat "$stage/install.log"; fail "dpkg -i"; }
status=$(dkms status zolvcom)
grep -q "9.9.9, $release, x86_64: installed" <<<"$status" || fail "dkms did not install it: $status"
grep -q '/updates/dkms/' <<<"$(modinfo -n zolvcom)" || fail "the module is not dkms's"
grep -q '^zolvcom ' /proc/modules || fail "not loaded by the package"
wait_for '[ -c /dev/ttyZOL3 ] && [ -c /dev/ttyZOL4 ] && [ -c /dev/zolvcom/ZOL_COM3 ]' || fail "no ports 3 and 4"
udevadm settle --timeout=30
# The rule's mode; its group where udev resolves group names (the stage's
# udev runs with --resolve-names=never).
wait_for '[ "$(stat -c %a /dev/ttyZOL3)" = 660 ]' || fail "ttyZOL3 has mode $(stat -c %a /dev/ttyZOL3)"
grep -q 'KERNEL=="ttyZOL\[0-9\]\*", GROUP="dialout", MODE="0660"' /lib/udev/rules.d/70-zol-vcom.rules ||
  fail "udev rule"

# vcomd, where the driver serves the ports, writes their count and ends.
mkdir -p "$stage/root"
ZOL_SYSROOT=$stage/root "$build/bin/vcomd" --ports 3,4 2>"$stage/vcomd.err" || fail "vcomd: $(cat "$stage/vcomd.err")"
grep -q '"NUMBER_OF_REQ_COM_PORTS"=dword:00000002' "$stage/root/etc/halvern/registry.reg" || fail "registry"
[ ! -e "$stage/root/dev/ttyZOL3" ] || fail "vcomd made its own port beside the driver's"

DEBIAN_FRONTEND=noninteractive dpkg -r zol-vcom-dkms >"$stage/remove.log" 2>&1 || { cat "$stage/remove.log"; fail "dpkg -r"; }
! grep -q '^zolvcom ' /proc/modules || fail "still loaded after removal"
[ -z "$(find /lib/modules/"$release" -name 'zolvcom.ko*')" ] || fail "module left behind"
log=$(dmesg | sed -n '/dkms_test: start/,$p')
! grep -qE 'BUG:|WARNING:|Oops|general protection|lockdep|memory leak' <<<"$log" || fail "kernel log: $log"
echo "zol-vcom-dkms: ok"
