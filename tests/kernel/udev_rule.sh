#!/bin/sh
# udev_rule.sh RULES: a USB HID device with the display's identity (a
# configfs gadget on dummy_hcd, which the host side takes as a real USB
# device) gets a hidraw node of group zol, mode 0660, once RULES is installed;
# and a device of another product keeps root's 0600. Needs root, udevd and
# the gadget modules: exits 77 (skipped) elsewhere.
set -u
rules=$1
skip() { echo "skipped: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "not root"
[ -e /run/udev/control ] || skip "no udevd"
[ -e /dev/uhid ] || skip "no HID support in this kernel (run in the kernel stage)"
modprobe -a dummy_hcd libcomposite usb_f_hid usbhid 2>/dev/null || skip "no USB gadget modules"
gadgets=/sys/kernel/config/usb_gadget
[ -d $gadgets ] || skip "no configfs gadgets"
udc=$(ls /sys/class/udc | head -n 1)
[ -n "$udc" ] || skip "no USB device controller"

getent group zol >/dev/null || groupadd --system zol || fail "groupadd zol"
mkdir -p /run/udev/rules.d
cp "$rules" /run/udev/rules.d/ || fail "cannot install $rules"
udevadm control --reload || fail "udevadm control --reload"

# wait_for SECONDS COMMAND...: true once COMMAND succeeds.
wait_for() {
  limit=$(( $(date +%s) + $1 )); shift
  while ! "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.1
  done
}

# gadget NAME PRODUCT: a USB HID device with one 8-byte input and output report.
gadget() {
  g=$gadgets/$1
  mkdir -p "$g/strings/0x409" "$g/functions/hid.0" "$g/configs/c.1" || fail "gadget $1"
  echo 0x6d13 >"$g/idVendor"
  echo "$2" >"$g/idProduct"
  echo "SN-$1" >"$g/strings/0x409/serialnumber"
  echo 8 >"$g/functions/hid.0/report_length"
  printf '\006\105\377\012\000\046\241\001\025\000\046\377\000\165\010\225\010\011\001\201\002\225\010\011\001\221\002\300' \
    >"$g/functions/hid.0/report_desc"
  ln -s "$g/functions/hid.0" "$g/configs/c.1/" || fail "gadget $1 config"
  echo "$udc" >"$g/UDC" || fail "gadget $1 bind"
}
ungadget() {
  g=$gadgets/$1
  echo "" >"$g/UDC"
  rm -f "$g/configs/c.1/hid.0"
  rmdir "$g/configs/c.1" "$g/functions/hid.0" "$g/strings/0x409" "$g"
}

# The hidraw node of the USB device with this product (lower-case hex).
node_of() {
  for h in /sys/class/hidraw/hidraw*; do
    [ -e "$h" ] || continue
    if udevadm info -a "$h" 2>/dev/null | grep -q "ATTRS{idProduct}==\"$1\""; then
      echo "/dev/$(basename "$h")"
      return 0
    fi
  done
  return 1
}

# check PRODUCT GROUP MODE
check() {
  node=""
  wait_for 30 node_of "$1" >/dev/null || fail "no hidraw node for product $1"
  node=$(node_of "$1")
  udevadm settle --timeout=30
  wait_for 10 sh -c "[ \"\$(stat -c '%G %a' $node)\" = '$2 $3' ]" ||
    fail "$node of product $1 is $(stat -c '%G %a' "$node"), not $2 $3"
  echo "ok: $node of product $1 is $2 $3"
}

for case in "display 4500 zol 660" "other 4501 root 600"; do
  set -- $case
  gadget "$1" "0x$2"
  check "$2" "$3" "$4"
  ungadget "$1"
done
echo "passed"
