#!/usr/bin/env bash
# PID 1 of the test's namespace (see systemd_e2e.sh): mounts the overlay of /
# with its private /tmp, /run, /var/tmp, /proc, /dev and a read-only /sys,
# proves the isolation, then (unless dry) becomes systemd inside the chroot.
#   boot.sh WORK HOST_TMP_MARKER [--dry-run]
set -euo pipefail
work=$1 marker=$2 dry=${3:-}
r=$work/root
no() { echo "isolation: FAILED: $*"; exit 1; }

[ "$$" -eq 1 ] || no "not PID 1 of a new PID namespace"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/ovlwork" "$r"
for d in tmp var/tmp; do mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$r/$d"; done
mount -t tmpfs -o mode=755,nosuid,nodev tmpfs "$r/run"
mount -t proc proc "$r/proc"
# /sys read-only (no udev in here); its cgroup mounts stay writable.
mount --rbind /sys "$r/sys"
mount -o remount,bind,ro "$r/sys"
# A /dev of our own: the host's character devices systemd needs, bound in,
# and a devpts instance of our own, so the COM port links and ptys of the
# test never show in the host's /dev.
mount -t tmpfs -o mode=755,nosuid tmpfs "$r/dev"
for n in null zero full random urandom tty; do
  touch "$r/dev/$n"
  mount --bind "/dev/$n" "$r/dev/$n"
done
mkdir "$r/dev/pts" "$r/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$r/dev/pts"
ln -s pts/ptmx "$r/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$r/dev/shm"

# The proof, each step on its own.
[ "$(stat -f -c %T "$r")" = overlayfs ] || no "$r is no overlay"
for d in tmp var/tmp run dev; do
  [ "$(stat -f -c %T "$r/$d")" = tmpfs ] || no "$r/$d is no tmpfs"
  [ -z "$(ls -A "$r/$d" | grep -v -e '^null$' -e '^zero$' -e '^full$' -e '^random$' -e '^urandom$' -e '^tty$' -e '^pts$' -e '^shm$' -e '^ptmx$')" ] ||
    no "$r/$d is not fresh"
done
[ -e "$marker" ] || no "the host's /tmp marker is not there"
[ ! -e "$r$marker" ] || no "the host's /tmp shows through in the chroot"
touch "$r/etc/.zol-e2e-probe"
[ ! -e /etc/.zol-e2e-probe ] || no "a write to the chroot's /etc reached the host"
rm -f "$r/etc/.zol-e2e-probe"
[ "$(findmnt -n -o PROPAGATION "$r")" = private ] || no "the overlay's mount propagates"
echo "isolation: ok"
[ "$dry" = --dry-run ] && exit 0

# Units that have nothing to do in here.
for u in systemd-udevd.service systemd-udev-trigger.service getty@tty1.service console-getty.service \
         systemd-logind.service apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
         systemd-networkd.service systemd-resolved.service systemd-timesyncd.service cron.service rsyslog.service; do
  ln -sf /dev/null "$r/etc/systemd/system/$u"
done
exec chroot "$r" /usr/bin/env -i container=zol-e2e PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  /lib/systemd/systemd --system --show-status=no --log-target=console
