#!/usr/bin/env bash
# cmake --install into a staging folder and cpack -G DEB give the installed
# layout: the programs, plug-ins and providers in /opt/halvern/zol/bin, the log
# folder, the systemd units naming the right programs in the right order, and
# the udev rule.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$stage/root" >/dev/null
bin=$stage/root/opt/halvern/zol/bin
for f in PortBridgeServer ZolLogSvc ZolConfig vcomd hidsim MsrHidBridge.so LdHidBridge.so ZolHidRaw.so ZolHidSim.so; do
  [ -f "$bin/$f" ] || fail "missing $f"
done
[ -d "$stage/root/opt/halvern/zol/log" ] || fail "missing log folder"
units=$stage/root/lib/systemd/system
grep -qx 'ExecStart=/opt/halvern/zol/bin/PortBridgeServer' "$units/ZOLSVC.service" || fail "ZOLSVC program"
grep -qx 'ExecStart=/opt/halvern/zol/bin/ZolLogSvc' "$units/ZOLLOGSVC.service" || fail "ZOLLOGSVC program"
grep -q '^ExecStart=/opt/halvern/zol/bin/vcomd --ports ' "$units/vcomd.service" || fail "vcomd program"
grep -qx 'After=vcomd.service ZOLLOGSVC.service' "$units/ZOLSVC.service" || fail "port service order"
grep -qx 'Type=notify' "$units/ZOLSVC.service" || fail "port service type"
grep -q 'ATTRS{idVendor}=="6d13"' "$stage/root/lib/udev/rules.d/70-zol-hid.rules" || fail "udev rule"

(cd "$stage" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/pkg" >/dev/null)
deb=$(ls "$stage"/pkg/*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./opt/halvern/zol/bin/PortBridgeServer ./opt/halvern/zol/bin/LdHidBridge.so ./lib/systemd/system/ZOLSVC.service \
         ./lib/udev/rules.d/70-zol-hid.rules ./opt/halvern/zol/log/; do
  grep -q " $f\$" <<<"$contents" || fail "package lacks $f"
done
dpkg-deb -f "$deb" Depends | grep -q libpugixml || fail "package dependencies"
echo "install layout and package: ok"
