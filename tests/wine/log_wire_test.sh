#!/usr/bin/env bash
# The log wire across the two platforms: the Linux and the Windows log client
# each send numbered lines to the Linux ZolLogSvc and to ZolLogSvc.exe under
# Wine. Apart from the time and the process and thread ids, all four files
# must be byte for byte the same.
# Arguments: the Linux build's bin folder, the cross build's bin folder.
set -uo pipefail
linux_bin=$1
windows_bin=$2
wine=${ZOL_WINE:-/usr/lib/wine/wine64}
lines=300
for f in "$linux_bin/ZolLogSvc" "$linux_bin/zol_log_probe" "$windows_bin/ZolLogSvc.exe" "$windows_bin/zol_log_probe.exe"; do
  [ -x "$f" ] || { echo "FAIL: $f is missing (build the linux preset first)"; exit 1; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
# config <folder> <log file as the reading program spells it> <port>
config() {
  printf '<ZOL><Logging_Configuration><File_Name>%s</File_Name><File_Size>10240</File_Size><Log_Level>5</Log_Level><TCP_Port>%s</TCP_Port><Module_Service>true</Module_Service><Module_MSR>true</Module_MSR><Module_LD>true</Module_LD></Logging_Configuration></ZOL>' \
    "$2" "$3" >"$1/ZolConfig.xml"
}
# wait_until <seconds> <command...>
wait_until() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.1
  done
}
listening() { python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1)" 2>/dev/null; }
has_lines() { [ -f "$1" ] && [ "$(grep -c 'wire line' "$1")" -ge "$2" ]; }

declare -A port
for side in linux windows; do
  mkdir -p "$work/svc-$side" "$work/client-$side-to-linux" "$work/client-$side-to-windows"
  port[$side]=$(free_port)
done
cp "$linux_bin/ZolLogSvc" "$work/svc-linux/"
cp "$windows_bin/ZolLogSvc.exe" "$work/svc-windows/"
config "$work/svc-linux" "$work/svc-linux/zol.log" "${port[linux]}"
config "$work/svc-windows" "Z:$work/svc-windows/zol.log" "${port[windows]}"
"$work/svc-linux/ZolLogSvc" console >"$work/svc-linux.out" 2>&1 &
pids+=($!)
"$wine" "$work/svc-windows/ZolLogSvc.exe" console >"$work/svc-windows.out" 2>&1 &
pids+=($!)
for side in linux windows; do
  wait_until 120 listening "${port[$side]}" || { echo "FAIL: the $side ZolLogSvc does not listen"; exit 1; }
done

# One client after the other into each service, so each file holds the
# Linux client's lines first, then the Windows client's.
for svc in linux windows; do
  for client in linux windows; do
    dir=$work/client-$client-to-$svc
    config "$dir" unused "${port[$svc]}"
    if [ $client = linux ]; then
      cp "$linux_bin/zol_log_probe" "$dir/" && "$dir/zol_log_probe" count $lines "wire line" >"$dir/out" 2>&1
    else
      cp "$windows_bin/zol_log_probe.exe" "$dir/" && "$wine" "$dir/zol_log_probe.exe" count $lines "wire line" >"$dir/out" 2>&1
    fi || { echo "FAIL: the $client client into the $svc service exited with $?"; cat "$dir/out"; exit 1; }
    want=$lines; [ $client = windows ] && want=$((2 * lines))
    wait_until 120 has_lines "$work/svc-$svc/zol.log" $want ||
      { echo "FAIL: $svc service has $(grep -c 'wire line' "$work/svc-$svc/zol.log") of $want lines"; exit 1; }
  done
done

# Every line keeps the shape of the wire; the time and ids are then cut off.
stamp=$'^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}\tP\\[[0-9a-f]+\\]\tT\\[[0-9a-f]+\\]\t'
for svc in linux windows; do
  f=$work/svc-$svc/zol.log
  bad=$(grep -cavE "$stamp" "$f")
  [ "$bad" -eq 0 ] || { echo "FAIL: $bad lines of the $svc service's file are not log lines:"; grep -avE "$stamp" "$f" | head -3 | od -c | head; exit 1; }
  sed -E "s|$stamp||" "$f" >"$work/$svc.rest"
  [ "$(grep -c . "$work/$svc.rest")" -eq $((2 * lines)) ] || { echo "FAIL: the $svc service's lines lost their text"; exit 1; }
done
# The lines of each client: the service writes what it received, so each
# half of each file is that client's text.
head -n $lines "$work/linux.rest" >"$work/from-linux"
tail -n $lines "$work/linux.rest" >"$work/from-windows"
cmp "$work/from-linux" "$work/from-windows" || { echo "FAIL: Linux and Windows clients' lines differ"; diff <(od -c "$work/from-linux" | head -5) <(od -c "$work/from-windows" | head -5); exit 1; }
cmp "$work/linux.rest" "$work/windows.rest" || { echo "FAIL: the two services' files differ"; exit 1; }
# The pid field is the sending process's own.
for svc in linux windows; do
  for client in linux windows; do
    pid=$(sed -nE 's/^pid=([0-9a-f]+).*/\1/p' "$work/client-$client-to-$svc/out")
    n=$(grep -caE "	P\[0*$pid\]	" "$work/svc-$svc/zol.log")
    [ "$n" -eq $lines ] || { echo "FAIL: $n lines from the $client client (pid $pid) in the $svc file"; exit 1; }
  done
done
# And that text is the wire's: module and level padded, CR LF at the end.
for i in 0 $((lines - 1)); do
  printf 'ZOL_SERVICE    \tLEVEL_ERROR   \twire line line %06d\r\n' "$i"
done >"$work/ends"
cmp "$work/ends" <(sed -n "1p;${lines}p" "$work/from-linux") || { echo "FAIL: a line's text is not the wire's:"; head -n 1 "$work/from-linux" | od -c | head -4; exit 1; }
echo "log wire: $((4 * lines)) lines, the same bytes on both platforms"
