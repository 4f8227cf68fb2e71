#!/bin/sh
# two_groups.sh BUILD_DIR [EXCLUDE]: the tests labelled kernel but those
# matching the regular expression EXCLUDE, in the
# guest (scripts/test kernel), as two groups side by side, each one test at a
# time: the zolvcom module's tests (the dkms package's and the driver's load
# and unload the one module) and all the others (HID devices through uhid and
# a USB gadget, which every process sees). The vcomd-backed tests never use
# the module (ZOL_VCOM_DRIVER=vcomd). Each group's output comes whole, one
# after the other; fails when either group failed.
build=$1
exclude=${2:-^$}
module='dkms|[Zz]olvcom'
out=$(mktemp -d)
ctest --test-dir "$build" -L kernel -R "$module" -E "$exclude" -j 1 --output-on-failure >"$out/module.log" 2>&1 &
module_pid=$!
ctest --test-dir "$build" -L kernel -E "$module|$exclude" -j 1 --output-on-failure >"$out/devices.log" 2>&1
devices_rc=$?
wait "$module_pid"
module_rc=$?
cat "$out/devices.log" "$out/module.log"
rm -rf "$out"
[ "$devices_rc" -eq 0 ] && [ "$module_rc" -eq 0 ]
