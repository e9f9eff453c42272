#!/bin/sh
# orvctl.exe under wine64: --version, --help and a wrong option, a send and a
# receive over TCP against the Linux simulator, checking the files each side
# got, and Ctrl-C (SIGINT, which Wine turns into Ctrl-C) cancelling a receive.
#   orvctl_wine.sh WINE_RUN ORVCTL_EXE ORV_SIM
# ORV_SIM is the simulator of the linux preset; without it the test is skipped
# (status 77).
set -u
wine_run=$1 orvctl=$2 sim=$3
[ -x "$sim" ] || { echo "SKIPPED: no $sim (build the linux preset first)"; exit 77; }
work=$(mktemp -d)
sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAILED: $*"; sed 's/^/  sim| /' "$work/sim.log" 2>/dev/null; exit 1; }

# Runs orvctl.exe in the host's folder (file names are relative, so Windows and
# Linux name them alike); checks its status and a text of its stdout.
expect() {
  want_status=$1 want_text=$2; shift 2
  out=$("$wine_run" "$orvctl" "$@"); status=$?
  [ "$status" -eq "$want_status" ] || fail "orvctl.exe $* exited $status, not $want_status: $out"
  case "$out" in *"$want_text"*) ;; *) fail "orvctl.exe $* said: $out (wanted: $want_text)" ;; esac
}

mkdir -p "$work/reg/out" "$work/host"
cd "$work/host" || exit 1
expect 0 "orvctl 1.2" --version
expect 0 "Usage: orvctl" --help
expect 2 "" --no-such-option

printf '0100000000000001020203' >"$work/reg/out/header.txt"
printf '0102030405\r\n0A0B0C0D0E\r\n' >"$work/reg/out/data.txt"
printf 'F0E0D0C0B0\r\n' >"$work/reg/out/data.002"
printf '0100000000000001020203' >"$work/host/h.txt"
printf '1111111111\r\n2222222222\r\n' >"$work/host/d.txt"
printf '3333333333\r\n' >"$work/host/d.002"
# Starts the simulator with the given options, ending the one before; sets
# $where to its address.
start_sim() {
  [ -n "$sim_pid" ] && { kill "$sim_pid"; wait "$sim_pid"; } 2>/dev/null
  : >"$work/sim.log"
  "$sim" --data "$work/reg" "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    where=$(sed -n '1s/^orv-sim: [a-z ]* at \(.*\)$/\1/p; 1s/^orv-sim: listening on \(.*\)$/\1/p' "$work/sim.log")
    [ -n "$where" ] && return 0
    sleep 0.05
  done
  fail "simulator did not start"
}

start_sim --tcp 0

strip() { tr -d '\r\n,' <"$1"; }
expect 0 "send: done" --tcp "$where" send --header h.txt --data d.txt --csv --command PUT
[ "$(strip "$work/reg/in/data.txt")" = 11111111112222222222 ] || fail "register got $(cat "$work/reg/in/data.txt")"
[ "$(strip "$work/reg/in/data.002")" = 3333333333 ] || fail "register got $(cat "$work/reg/in/data.002")"
expect 0 "2 file(s)" --tcp "$where" receive --header rh.txt --data rd.txt --csv --command GET
[ "$(cat "$work/host/rd.txt")" = "$(printf '0102,030405\r\n0A0B,0C0D0E\r\n')" ] || fail "host got $(cat "$work/host/rd.txt")"
[ "$(strip "$work/host/rd.002")" = F0E0D0C0B0 ] || fail "host got $(cat "$work/host/rd.002")"
[ "$(cat "$work/host/rh.txt")" = 0100000000000001020203 ] || fail "header $(cat "$work/host/rh.txt")"
# The open clears any earlier cancel request, so a Ctrl-C once the simulator
# has the connection cancels the receive.
start_sim --tcp 0 --silent
"$wine_run" "$orvctl" --tcp "$where" receive --data silent.txt >"$work/ctl.log" &
ctl=$!
for _ in $(seq 400); do grep -q "host connected" "$work/sim.log" && break; sleep 0.05; done
kill -INT "$ctl"
for _ in $(seq 200); do kill -0 "$ctl" 2>/dev/null || break; sleep 0.05; done
kill -0 "$ctl" 2>/dev/null && { kill "$ctl"; fail "orvctl.exe still runs 10 s after Ctrl-C"; }
wait "$ctl"; status=$?
[ "$status" -eq 36 ] || fail "exit $status after Ctrl-C: $(cat "$work/ctl.log")"
echo "orvctl.exe: version, help, a wrong option, a TCP send and receive, and Ctrl-C passed"
