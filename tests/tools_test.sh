#!/bin/sh
# orvctl and orv-sim as programs: one case per run.
#   tools_test.sh CASE ORVCTL ORV_SIM
# ORV_TEST_EMULATOR, when set, is the program that runs both (qemu-i386 for
# the i386 build). ORV_TEST_HOST_RUNNER, when set, runs orvctl alone
# (cmake/wine-run.sh for orvctl.exe, whose stderr then goes to Wine's log;
# Wine turns SIGINT into Ctrl-C); a missing ORV_SIM then skips the case (77).
set -u
case_name=$1 orvctl=$2 sim=$3
emu=${ORV_TEST_EMULATOR:-}
ctl_run=${ORV_TEST_HOST_RUNNER:-$emu}
[ -n "${ORV_TEST_HOST_RUNNER:-}" ] && [ ! -x "$sim" ] && { echo "SKIPPED: no $sim"; exit 77; }
. "$(dirname "$0")/script_support.sh"
shown=$work/sim.log

mkdir -p "$work/reg/out" "$work/host"
printf '0100000000000001020203' >"$work/reg/out/header.txt"
printf '0102030405\r\n0A0B0C0D0E\r\n' >"$work/reg/out/data.txt"
printf 'F0E0D0C0B0\r\n' >"$work/reg/out/data.002"
printf '0100000000000001020203' >"$work/host/h.txt"
printf '1111111111\r\n2222222222\r\n' >"$work/host/d.txt"
printf '3333333333\r\n' >"$work/host/d.002"

# Starts the simulator serving $work/reg, ending the one before; sets $where
# to its port or pty, and COM7 to that pty.
start() {
  stop_sim
  start_sim "$work/sim.log" --data "$work/reg" "$@"
  export ORV_LIB_COM7="$where"
  # Under Wine, COM7 is a link in the prefix, which the first run there makes.
  if [ -n "${ORV_TEST_HOST_RUNNER:-}" ] && [ -n "${WINEPREFIX:-}" ] && [ "${where#/}" != "$where" ]; then
    [ -d "$WINEPREFIX/dosdevices" ] || $ctl_run "$orvctl" --version >/dev/null 2>&1
    ln -sfn "$where" "$WINEPREFIX/dosdevices/com7"
  fi
}

# Runs orvctl; checks its exit status and, when given, a text in its output.
expect() {  # status text options...
  status=$1 text=$2; shift 2
  expect_run "$status" "$text" $ctl_run "$orvctl" "$@"
}

strip() { tr -d '\r\n,' <"$1"; }

exchange_both_ways() {  # link options...
  expect 0 "send: done" "$@" send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv --command PUT
  got="$(strip "$work/reg/in/data.txt")/$(strip "$work/reg/in/data.002")"
  [ "$got" = 11111111112222222222/3333333333 ] || fail "register got $got"
  expect 0 "2 file(s)" "$@" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --csv --command GET
  got="$(cat "$work/host/rh.txt")/$(cat "$work/host/rd.txt")/$(strip "$work/host/rd.002")"
  [ "$got" = "0100000000000001020203/$(printf '0102,030405\r\n0A0B,0C0D0E\r\n')/F0E0D0C0B0" ] || fail "host got $got"
}

case $case_name in
tcp_exchange)
  start --tcp 0
  exchange_both_ways --tcp "$where"
  # A file of an earlier, longer series is not counted as received.
  printf '3333333333\r\n' >"$work/host/rd.003" && touch -d '1 hour ago' "$work/host/rd.003"
  expect 0 "2 file(s)" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --csv --command GET
  if [ -z "${ORV_TEST_HOST_RUNNER:-}" ]; then  # the note goes to stderr, Wine's log there
    case "$out" in *"rd.003 is left from before"*) ;; *) fail "no note of rd.003: $out" ;; esac
  fi
  # What the library sends of data it cannot convert shows in its trace.
  printf 'ZZZZZZZZZZ\r\n' >"$work/z.txt"
  ORV_LIB_TRACE="$work/trace" expect 0 "send: done" --tcp "$where" send --header "$work/host/h.txt" --data "$work/z.txt" --csv --no-check
  grep -q 'data block: pair 1 of 5 ("ZZ", 5A 5A) is not hex' "$work/trace" || fail "trace: $(cat "$work/trace")"
  grep -q 'file 2 of the series cannot be opened, skipped' "$work/trace" || fail "trace: $(cat "$work/trace")"
  ;;
serial_exchange)
  start --pty
  # Garbage on the line is one line of the log (not one per byte), and the
  # register answers after it.
  head -c 300000 /dev/zero >"$where"
  wait_for "300000 stray byte(s)" "$work/sim.log"
  exchange_both_ways --serial 7 --line-mode 2
  ;;
tcp_faults)
  start --tcp 0 --refuse-every 1
  expect 84 "the register refused block 2 (data, file 1, 14 bytes) with 0x82" --tcp "$where" send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv
  start --tcp 0 --silent
  expect 39 "no answer to block 1 (command, 3 bytes) within 300 ms" --tcp "$where" send --command PUT --receive-wait 300
  expect 39 "net send 10 bytes" -v --tcp "$where" send --command PUT --receive-wait 300
  start --tcp 0 --delay 2600
  expect 0 " s of 80 s" --tcp "$where" send --command PUT
  expect 35 "tried 127.0.0.1:1 (is the register" --tcp 127.0.0.1:1 send
  # Faults act on answers and on served blocks alike; --end-after cuts a
  # served series midway.
  start --tcp 0 --bad-checksum-every 1
  expect 82 "result 82" --tcp "$where" send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv
  start --tcp 0 --refuse-every 2
  expect 84 "result 84" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --command GET
  # A frame that arrives in two parts 0.8 s apart is one block, not silence.
  start --tcp 0
  perl -MIO::Socket::INET -e '$s = IO::Socket::INET->new($ARGV[0]) or die;
    $f = pack("C*", 0, 8, 1, 0, 0, 0) . "PUTX"; $f .= chr(unpack("%8C*", $f));
    syswrite($s, substr($f, 0, 5)); select(undef, undef, undef, 0.8); syswrite($s, substr($f, 5));
    sysread($s, $a, 100)' "$where"
  grep -q '"PUTX"' "$work/sim.log" && ! grep -q "type 43" "$work/sim.log" || fail "split frame lost"
  start --tcp 0 --end-after 4
  expect 82 "result 82" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --command GET
  grep -q "closing the connection at block 4 of the exchange" "$work/sim.log" || fail "no close logged"
  ;;
usb_exchange)
  start --usb "$work/usb.sock" --refuse-every 2
  expect 89 "result 89" --usb "$where" send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv --command PUT
  ;;
serial_faults)
  start --pty --end-after 2
  expect 37 "the register ended the exchange (EOT) after record 2 (header, file 1" --serial 7 --line-mode 2 send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv --command PUT
  expect 35 "this device has no modem lines" --serial 7 send --command PUT
  start --pty --refuse-every 1
  expect 39 'record 1 ("PUT", 3 characters) refused 3 times (NAK)' --serial 7 --line-mode 2 send --command PUT --retries 2
  sleep 0.3  # the host's giving-up EOT reaches the log
  grep -q "serving" "$work/sim.log" && fail "a host giving up was served"
  # A corrupted record is refused by the host and its good repeat taken.
  start --pty --bad-checksum-every 2
  expect 0 "2 file(s)" --serial 7 --line-mode 2 receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --csv --command GET
  grep -q "record 2 goes out with a wrong checksum (on purpose)" "$work/sim.log" || fail "no fault logged"
  grep -q "NAK: record 2 refused, sent again" "$work/sim.log" || fail "no refusal logged"
  ;;
serial_read_echo)
  # A read begins with a bare ACK; an echo command gets its next record back.
  # A selection is answered as one: no stray bytes, no data served for it.
  start --pty
  expect 0 "read: 74 bytes" --serial 7 --line-mode 2 read "$work/host/r.txt"
  printf 'HELLO' >"$work/host/q.txt"
  expect 0 "echo: 5 bytes" --serial 7 --line-mode 2 echo --command ECHO "$work/host/q.txt" "$work/host/a.txt"
  [ "$(cat "$work/host/a.txt")" = HELLO ] || fail "echo answer $(cat "$work/host/a.txt")"
  expect 0 "send: done" --serial 7 --line-mode 2 send --header "$work/host/h.txt" --data "$work/host/d.txt" --csv --command PUT
  grep -q "stray\|ENQ, serving 4 records" "$work/sim.log" && fail "selection taken for a request"
  ;;
sim_start)
  # The data folder is made, with a sample when asked; misplaced options and
  # a port in use are refused with the reason.
  expect_run 2 "--tcp excludes --pty" $emu "$sim" --tcp 0 --idle 10 --pty
  expect_run 2 "--baud requires --device" $emu "$sim" --tcp 0 --baud 2400
  expect_run 2 "--baud: 1200 not in" $emu "$sim" --device /dev/null --baud 1200
  rm -rf "$work/reg"
  start --tcp 0 --sample-data
  [ -f "$work/reg/out/README.txt" ] && [ -d "$work/reg/in" ] || fail "no sample in $(ls -R "$work/reg")"
  expect_run 1 "Address already in use" $emu "$sim" --tcp "${where##*:}" --data "$work/reg"
  expect 0 "2 file(s)" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --csv --command GET
  # Rows wider than a block are not served (they once made empty blocks without end).
  printf '010000000000000101FFFFFFFFFFFF' >"$work/reg/out/header.txt"
  expect 39 "no answer" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --command GET --receive-wait 300
  grep -q "has rows of 1530 bytes" "$work/sim.log" || fail "wide rows served"
  # A folder where a served file belongs is a gap in the series, not a crash.
  printf '0100000000000001020203' >"$work/reg/out/header.txt"
  rm "$work/reg/out/data.txt" "$work/host/rd."* && mkdir "$work/reg/out/data.txt"
  expect 0 "1 file(s)" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --command GET
  # A USB socket in use is not taken over (a dead one is, as the tests show).
  start_sim "$work/usb.log" --usb "$work/usb.sock" --data "$work/reg"
  expect_run 1 "Address already in use" timeout 10 $emu "$sim" --usb "$work/usb.sock" --data "$work/reg"
  ;;
cancel)
  start --tcp 0 --silent
  $ctl_run "$orvctl" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" >"$work/ctl.log" 2>&1 &
  ctl=$!
  # Connected first, however slowly orvctl starts (under an emulator too).
  wait_for "host connected" "$work/sim.log"
  sleep 0.5
  interrupt "$ctl"
  [ "$status" -eq 36 ] || fail "exit $status after Ctrl-C: $(cat "$work/ctl.log")"
  [ -n "${ORV_TEST_HOST_RUNNER:-}" ] || grep -q "result 36: cancelled" "$work/ctl.log" || fail "$(cat "$work/ctl.log")"
  # A second interrupt at once gives up, and its private trace file goes too.
  if [ -z "${ORV_TEST_HOST_RUNNER:-}" ]; then
    start --tcp 0 --silent
    mkdir "$work/tmp"
    TMPDIR=$work/tmp $ctl_run "$orvctl" --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" >"$work/ctl.log" 2>&1 &
    ctl=$!
    wait_for "host connected" "$work/sim.log"
    kill -INT "$ctl"; kill -TERM "$ctl"; wait "$ctl"
    [ -z "$(ls "$work/tmp")" ] || fail "left behind: $(ls "$work/tmp")"
    # A reader that goes away (SIGPIPE) does not cut the exchange short.
    start --tcp 0
    { TMPDIR=$work/tmp $ctl_run "$orvctl" -v --tcp "$where" receive --header "$work/host/rh.txt" --data "$work/host/rd.txt" --csv --command GET
      echo $? >"$work/status"; } 2>&1 | head -c 1 >/dev/null
    [ "$(cat "$work/status")" = 0 ] && [ -z "$(ls "$work/tmp")" ] || fail "exit $(cat "$work/status") on a closed pipe; left: $(ls "$work/tmp")"
  fi
  ;;
command_line)
  # Every wrong command line ends at once with 2, before any open.
  for args in "" "--bogus version" "--serial abc send" "--tcp 127.0.0.1 send" \
      "--tcp 127.0.0.1:0 send" "--tcp [::1]:9100 send" "--serial 1 --baud 1234 send" \
      "--serial 1 --line-mode 3 send" "--serial 1 --station 1234567 send" \
      "--serial 1 signal 4" "--tcp 127.0.0.1:9 echo a b" "send --selection 3" \
      "--tcp 127.0.0.1:9 receive --header d.002 --data d.txt"; do
    # shellcheck disable=SC2086
    expect 2 "" $args
  done
  expect 0 "orvctl 1" --version
  expect_run 0 "orv-sim " $emu "$sim" --version
  out=$($ctl_run "$orvctl" receive --help 2>&1)
  case "$out" in *--close-mode*|*--no-check*) fail "receive --help lists send options: $out";; esac
  ;;
input_checks)
  # Nothing listens on port 1: a check that passes would end in 35.
  h="$work/host/h.txt" d="$work/host/d.txt" link="--tcp 127.0.0.1:1"
  printf 'ZZZZZZZZZZ\r\n' >"$work/z.txt"
  printf '1111111111\r\n22222222\r\n' >"$work/short.txt"
  printf 'not a header at all' >"$work/text.txt"
  printf '0100000000000001020203\r\n' >"$work/crlf.txt"
  expect 4 "z.txt:1:1: 'Z' is not a hex digit" $link send --header "$h" --data "$work/z.txt" --csv
  expect 4 "short.txt:2:1: a row of 8 hex digits" $link send --header "$h" --data "$work/short.txt" --csv
  expect 4 "d.txt:1:11: a line end inside the data" $link send --header "$h" --data "$d"
  rm "$work/host/d.002"
  expect 4 "d.002: cannot open" $link send --header "$h" --data "$d" --csv
  : >"$work/host/d.002"
  expect 4 "d.002: the file is empty" $link send --header "$h" --data "$d" --csv
  expect 35 "open failed" $link send --header "$h" --data "$d" --csv --no-check
  expect 3 "text.txt:1:1: 'n' is not a hex digit" $link send --header "$work/text.txt"
  expect 3 "crlf.txt:1:23: CR is not a hex digit" $link send --header "$work/crlf.txt"
  expect 35 "open failed" $link send --header "$work/crlf.txt" --header-format 1
  expect 4 "missing: cannot open" $link write "$work/missing"
  expect 4 "host: cannot read: Is a directory" $link write "$work/host"
  expect 35 "series go to $work/out.002" $link receive --header "$h" --data "$work/out.d/sales"
  ;;
demo)
  # The demo starts orv-sim from orvctl's own folder. Under an emulator that
  # folder holds a copy of orvctl and an orv-sim that runs the real one
  # through the emulator, since the kernel may run no i386 program itself.
  if [ -n "$emu" ]; then
    mkdir "$work/bin"
    cp "$orvctl" "$work/bin/orvctl"
    printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$emu" "$sim" >"$work/bin/orv-sim"
    chmod 700 "$work/bin/orv-sim"
    orvctl=$work/bin/orvctl
  fi
  # A demo ended by SIGTERM leaves no simulator running.
  $emu "$orvctl" demo --dir "$work/term" >/dev/null 2>&1 &
  demo=$!
  wait_for "listening" "$work/term/sim-tcp.log"
  kill -TERM "$demo"; wait "$demo"
  for _ in $(seq 100); do pgrep -f "$work/term/" >/dev/null || break; sleep 0.05; done
  left=$(pgrep -f "$work/term/") && { kill $left; fail "simulator left running"; }
  out=$($emu "$orvctl" demo --dir "$work/demo" 2>&1) || fail "demo: $out"
  echo "$out" | grep -q "every exchange succeeded" || fail "demo: $out"
  modes=$(stat -c %a "$work/demo" "$work/demo/host" "$work/demo/host/received.002" | tr '\n' ' ')
  [ "$modes" = "700 700 600 " ] || fail "demo folders and files readable by others: $modes"
  expect_run 1 "cannot prepare $work/host/h.txt: Not a directory" $emu "$orvctl" demo --dir "$work/host/h.txt"
  ;;
*) fail "unknown case $case_name" ;;
esac
echo "$case_name: passed"
