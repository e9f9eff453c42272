#!/bin/sh
# orvctl and orv-sim as programs: one case per run.
#   tools_test.sh CASE ORVCTL ORV_SIM
set -u
case_name=$1 orvctl=$2 sim=$3
work=$(mktemp -d)
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAILED: $*"; [ -f "$work/sim.log" ] && sed 's/^/  sim| /' "$work/sim.log"; exit 1; }

mkdir -p "$work/reg/out" "$work/host"
printf '0100000000000001020203' >"$work/reg/out/header.txt"
printf '0102030405\r\n0A0B0C0D0E\r\n' >"$work/reg/out/data.txt"
printf 'F0E0D0C0B0\r\n' >"$work/reg/out/data.002"
printf '0100000000000001020203' >"$work/host/h.txt"
printf '1111111111\r\n2222222222\r\n' >"$work/host/d.txt"
printf '3333333333\r\n' >"$work/host/d.002"

# Starts the simulator with the given options; sets $where to its port or pty.
start_sim() {
  "$sim" --data "$work/reg" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    where=$(sed -n '1s/^orv-sim: [a-z ]* at \(.*\)$/\1/p; 1s/^orv-sim: listening on \(.*\)$/\1/p' "$work/sim.log")
    [ -n "$where" ] && return 0
    sleep 0.05
  done
  fail "simulator did not start"
}

# Runs orvctl; checks its exit status and, when given, a text in its output.
expect() {
  want_status=$1 want_text=$2; shift 2
  out=$("$orvctl" "$@" 2>&1); status=$?
  [ "$status" -eq "$want_status" ] || fail "orvctl $* exited $status, not $want_status: $out"
  case "$out" in *"$want_text"*) ;; *) fail "orvctl $* said: $out (wanted: $want_text)";; esac
}

strip() { tr -d '\r\n,' <"$1"; }

exchange_both_ways() {  # link options...
  expect 0 "send: done" "$@" send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv --command PUT
  [ "$(strip "$work/reg/in/data.txt")" = 11111111112222222222 ] || fail "register got $(cat "$work/reg/in/data.txt")"
  [ "$(strip "$work/reg/in/data.002")" = 3333333333 ] || fail "register got $(cat "$work/reg/in/data.002")"
  expect 0 "2 file(s)" "$@" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --csv --command GET
  [ "$(cat "$work/host/rd.txt")" = "$(printf '0102,030405\r\n0A0B,0C0D0E\r\n')" ] || fail "host got $(cat "$work/host/rd.txt")"
  [ "$(strip "$work/host/rd.002")" = F0E0D0C0B0 ] || fail "host got $(cat "$work/host/rd.002")"
  [ "$(cat "$work/host/rh.txt")" = 0100000000000001020203 ] || fail "header $(cat "$work/host/rh.txt")"
}

case $case_name in
tcp_exchange)
  start_sim --tcp 0
  exchange_both_ways --tcp "$where"
  ;;
serial_exchange)
  start_sim --pty
  export ORV_LIB_COM7="$where"
  exchange_both_ways --serial 7 --line-mode 2
  ;;
tcp_faults)
  start_sim --tcp 0 --refuse-every 1
  expect 84 "result 84: network: the register refused" --tcp "$where" send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv
  kill "$sim_pid"; wait "$sim_pid"
  start_sim --tcp 0 --bad-checksum-every 2
  expect 82 "result 82" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --command GET
  kill "$sim_pid"; wait "$sim_pid"
  start_sim --tcp 0 --silent
  expect 39 "result 39: no answer" --tcp "$where" send --command PUT --receive-wait 300
  ;;
usb_exchange)
  start_sim --usb "$work/usb.sock"
  exchange_both_ways --usb "$where"
  kill "$sim_pid"; wait "$sim_pid"
  start_sim --usb "$work/usb.sock" --refuse-every 2
  expect 89 "result 89" --usb "$where" send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv --command PUT
  ;;
serial_faults)
  start_sim --pty --end-after 2
  export ORV_LIB_COM7="$where"
  expect 37 "result 37" --serial 7 --line-mode 2 send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv --command PUT
  ;;
cancel)
  start_sim --tcp 0 --silent
  "$orvctl" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" >"$work/ctl.log" 2>&1 &
  ctl=$!
  sleep 0.5
  kill -INT "$ctl"
  for _ in $(seq 100); do kill -0 "$ctl" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$ctl" 2>/dev/null && fail "orvctl still runs 5 s after Ctrl-C"
  wait "$ctl"; status=$?
  [ "$status" -eq 36 ] || fail "exit $status after Ctrl-C: $(cat "$work/ctl.log")"
  grep -q "result 36: cancelled" "$work/ctl.log" || fail "$(cat "$work/ctl.log")"
  ;;
demo)
  out=$("$orvctl" demo --dir "$work/demo" 2>&1) || fail "demo: $out"
  echo "$out" | grep -q "every exchange succeeded" || fail "demo: $out"
  ;;
*) fail "unknown case $case_name" ;;
esac
echo "$case_name: passed"
