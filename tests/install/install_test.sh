#!/usr/bin/env bash
# cmake --install into a staging folder and cpack -G DEB give the installed
# layout: the programs, plug-ins and providers in /opt/halvern/zol/bin, the log
# folder, the systemd units naming the right programs in the right order, the
# udev rule and the conffile; `PortBridgeServer install` and `ZolLogSvc
# install` write the packaged unit with only their own path in ExecStart.
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
grep -qx 'ZOL_PORTS="3,4"' "$stage/root/etc/default/zol-vcomd" || fail "default ports"
grep -qx 'EnvironmentFile=/etc/default/zol-vcomd' "$units/vcomd.service" || fail "vcomd reads its defaults"
for u in vcomd ZOLLOGSVC ZOLSVC; do
  grep -qx 'User=zol' "$units/$u.service" || fail "$u runs as root"
  grep -qx 'Restart=on-failure' "$units/$u.service" || fail "$u is not restarted"
done

# The programs' own install, against a stand-in systemctl, in a private root;
# a document beside each copy keeps their log lines at home.
mkdir -p "$stage/stub" "$stage/prog" "$stage/sysroot"
printf '#!/bin/sh\nexit 0\n' >"$stage/stub/systemctl"
chmod +x "$stage/stub/systemctl"
echo '<ZOL><Logging_Configuration><Log_Level>0</Log_Level></Logging_Configuration></ZOL>' >"$stage/prog/ZolConfig.xml"
for pair in PortBridgeServer:ZOLSVC ZolLogSvc:ZOLLOGSVC; do
  program=${pair%%:*} service=${pair#*:}
  cp "$bin/$program" "$stage/prog/"
  ZOL_SYSROOT=$stage/sysroot PATH=$stage/stub:$PATH "$stage/prog/$program" install >/dev/null 2>&1
  written=$stage/sysroot/etc/systemd/system/$service.service
  [ -f "$written" ] || fail "$program install wrote no unit"
  grep -qx "ExecStart=\"$stage/prog/$program\"" "$written" || fail "$program install: ExecStart"
  diff <(grep -v '^ExecStart=' "$units/$service.service") <(grep -v '^ExecStart=' "$written") ||
    fail "$program install wrote another unit than the package's"
done

(cd "$stage" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$stage/pkg" >/dev/null)
deb=$(ls "$stage"/pkg/*.deb)
contents=$(dpkg-deb -c "$deb")
for f in ./opt/halvern/zol/bin/PortBridgeServer ./opt/halvern/zol/bin/LdHidBridge.so ./lib/systemd/system/ZOLSVC.service \
         ./lib/udev/rules.d/70-zol-hid.rules ./opt/halvern/zol/log/ ./etc/default/zol-vcomd; do
  grep -q " $f\$" <<<"$contents" || fail "package lacks $f"
done
dpkg-deb -f "$deb" Depends | grep -q libpugixml || fail "package dependencies"
dpkg-deb -I "$deb" conffiles | grep -qx /etc/default/zol-vcomd || fail "zol-vcomd is no conffile"
dpkg-deb -I "$deb" postinst | grep -q 'useradd --system' || fail "package makes no user"
echo "install layout and package: ok"
