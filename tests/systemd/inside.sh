#!/usr/bin/env bash
# The user's steps, run inside the booted systemd of systemd_e2e.sh.
#   inside.sh INIT_PID BUILD_DIR
set -uo pipefail
init=$1 build=$2
ins() { nsenter -t "$init" -m -p -n -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C "$@"; }
fail() { echo "FAIL: $*"; exit 1; }
# Waits up to $1 seconds for a shell condition inside to hold.
wait_in() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until ins sh -c "$1" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}
bin=/opt/halvern/zol/bin
log=/opt/halvern/zol/log/zol.log
pan=4000123456789010

echo "== apt-get install ./zol_*.deb"
ins sh -c 'cd /root && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends ./zol_*.deb' \
  >/dev/null 2>&1 || { ins sh -c 'cd /root && apt-get install -y --no-install-recommends ./zol_*.deb' 2>&1 | tail -n 20; fail "apt-get install"; }
ins id zol || fail "the package made no user zol"

echo "== a POS user in dialout, one without; the ports' document; the simulated HID provider"
ins useradd -M -G dialout pos || fail "useradd pos"
ins useradd -M other || fail "useradd other"
ins sh -c "cat >$bin/ZolConfig.xml" <<'XML' || fail "document"
<ZOL><Ports_Configuration><MSR_USB Serial_Number="">COM3</MSR_USB><LD_USB Serial_Number="">COM4</LD_USB></Ports_Configuration><Logging_Configuration><File_Name>/opt/halvern/zol/log/zol.log</File_Name><File_Size>10240</File_Size><Log_Level>5</Log_Level><TCP_Port>38674</TCP_Port><Module_Service>true</Module_Service><Module_MSR>true</Module_MSR><Module_LD>true</Module_LD></Logging_Configuration><MSR_Configuration><CR_Enabled>true</CR_Enabled><Track1_Enabled>true</Track1_Enabled><Track2_Enabled>true</Track2_Enabled><Track3_Enabled>true</Track3_Enabled></MSR_Configuration></ZOL>
XML
ins mkdir -p /etc/systemd/system/ZOLSVC.service.d
ins sh -c 'printf "[Service]\nEnvironment=ZOL_HID_PROVIDER=ZolHidSim.so\n" >/etc/systemd/system/ZOLSVC.service.d/sim.conf'
ins systemctl daemon-reload || fail "daemon-reload"

echo "== systemctl enable --now vcomd ZOLLOGSVC ZOLSVC, simulated devices started with systemd-run"
ins systemctl enable --now vcomd || fail "vcomd does not start"
wait_in 10 'test -L /dev/ttyZOL3 && test -L /dev/ttyZOL4' || fail "no COM ports"
for dev in ld:display msr:reader; do
  ins systemd-run -q --unit="zolsim-${dev#*:}" --uid=zol --gid=zol -p StandardOutput="file:/root/${dev#*:}.out" \
    $bin/hidsim "${dev%%:*}" --name "${dev#*:}" || fail "systemd-run hidsim ${dev%%:*}"
  wait_in 10 "test -S /run/zol/hidsim/${dev#*:}" || fail "simulated ${dev#*:} not plugged in"
done
ins systemctl enable --now ZOLLOGSVC ZOLSVC || fail "the services do not start"
for u in vcomd ZOLLOGSVC ZOLSVC; do
  [ "$(ins systemctl show -p User --value $u)" = zol ] || fail "$u does not run as zol"
done
wait_in 20 "grep -q 'HidMsrManager::Initialize - Initialize success' $log && grep -q 'HidLdManager::Initialize - Initialize success' $log" ||
  fail "the plug-ins did not come up"
sock=/run/zol/log/38674.sock
[ "$(ins stat -c '%a %G' $sock)" = "660 zol" ] || fail "the log socket is not $sock, mode 0660, group zol"

echo "== the POS user writes to the display's port"
hex() { python3 -c 'import sys; print(sys.argv[1].encode("latin-1").hex())' "$1"; }
ins runuser -u pos -- python3 /root/app.py /dev/ttyZOL4 write "1f$(hex 'Hello from systemd')" || fail "pos cannot write COM4"
wait_in 10 "grep -q 'Hello from systemd' /root/display.out" || fail "the line report did not reach the display"
# The port service logs on the local socket. Bound under a temporary name and
# renamed into place: the connections show the name it was bound under, which
# begins with the socket's own. A line that waited 3 s for room drops its
# connection until the next line: the write above logged lines again.
wait_in 10 "ss -xH state established | grep -qF $sock" || {
  ins ss -xaH; ins ss -taH; fail "no log client is connected on $sock"
}

# A swipe while the POS user reads the reader's port; prints what was read.
swipe() {
  local n=$1
  ins rm -f /tmp/open.$n
  local seen; seen=$(ins grep -c 'ZOL COM3 Connected!' $log)
  ins runuser -u pos -- python3 /root/app.py /dev/ttyZOL3 read 8 /tmp/open.$n >"$work_out.$n" 2>&1 &
  local reader=$!
  wait_in 10 "test -e /tmp/open.$n" || { kill $reader; return 1; }
  # A card swiped before the port service has seen the application open the
  # port has no one to go to; a person swipes once the application is ready.
  wait_in 10 "[ \$(grep -c 'ZOL COM3 Connected!' $log) -gt $seen ]" || { kill $reader; return 1; }
  ins $bin/hidsim swipe reader --track2 "$pan=28121010000000000000" >/dev/null || return 1
  wait $reader
}
work_out=$build/systemd-e2e.swipe.$$
expected=$';4000123456789010=28121010000000000000?\r'
check_swipe() {
  swipe "$1" || fail "swipe $1"
  local got; got=$(cat "$work_out.$1"); rm -f "$work_out.$1"
  [ "$got" = "$expected" ] || fail "swipe $1 read $(printf %q "$got"), not $(printf %q "$expected")"
}
# The stripe reader's plug-in is up once per start of the port service.
ready='HidMsrManager::Initialize - Initialize success'
starts() { ins grep -c "$ready" $log; }
wait_started() { wait_in 20 "[ \$(grep -c '$ready' $log) -gt $1 ]" || fail "the port service did not come back ($2)"; }

echo "== a swipe: the POS user reads its exact text"
check_swipe 1

echo "== the other user is refused"
out=$(ins runuser -u other -- python3 /root/app.py /dev/ttyZOL4 open); rc=$?
[ $rc -eq 13 ] && [ "$out" = EACCES ] || fail "the user outside dialout opened COM4 (rc $rc: $out)"

echo "== systemctl restart ZOLSVC: the swipe works again"
ins systemctl restart ZOLSVC || fail "restart ZOLSVC"
check_swipe 2

echo "== vcomd killed: systemd restarts it, and the port service with it"
before=$(ins systemctl show -p MainPID --value ZOLSVC) n=$(starts)
ins systemctl kill -s KILL vcomd
wait_in 20 "[ \"\$(systemctl show -p NRestarts --value vcomd)\" -ge 1 ] && systemctl is-active -q vcomd && systemctl is-active -q ZOLSVC && [ \"\$(systemctl show -p MainPID --value ZOLSVC)\" != $before ]" ||
  fail "the port service did not come back with vcomd"
wait_started "$n" "vcomd restarted"
check_swipe 3

echo "== the configuration tool's restart against this systemd"
n=$(starts)
out=$(ins "$build/bin/zol_restart_probe" 2>&1)
echo "$out"
grep -qx 'box: Quillmere services restarted.' <<<"$out" || fail "the restart did not report success"
for u in ZOLLOGSVC ZOLSVC; do ins systemctl is-active -q $u || fail "$u did not come back"; done
wait_started "$n" "configuration tool"
check_swipe 4

echo "== everything stops, no unit failed"
ins systemctl stop ZOLSVC ZOLLOGSVC vcomd zolsim-display zolsim-reader
for u in vcomd ZOLLOGSVC ZOLSVC; do
  state=$(ins systemctl show -p ActiveState --value $u) result=$(ins systemctl show -p Result --value $u)
  [ "$state" = inactive ] && [ "$result" = success ] || fail "$u: $state, $result"
done
failed=$(ins systemctl list-units --failed --plain --no-legend)
[ -z "$failed" ] || fail "failed units: $failed"

echo "== the log file: the services' lines, no card number beyond its last four digits"
ins grep -q 'ZOLSVC - Entered' $log || fail "no port service line in the log"
ins grep -q 'CServiceClass::ServiceMain - Service is Running' $log || fail "no service start line in the log"
ins grep -q "${pan:0:12}" $log && fail "the card number is in the log"
echo "inside: ok"
