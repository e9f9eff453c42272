# Sourced by the script tests: a private scratch folder $work, removed at exit
# with every simulator started there; fail, expect_run, and for tests against
# orv-sim start_sim, stop_sim, wait_for and interrupt. The sourcing script
# sets $shown, a log that fail shows, and for a simulator $sim (orv-sim) and
# $emu when a program runs it (qemu-i386).
work=$(mktemp -d)
sim_pids="" sim_pid="" shown=""
cleanup() { for p in $sim_pids; do kill "$p" 2>/dev/null; done; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# Tells what failed, with the log $shown names, and ends the script.
fail() {
  echo "FAILED: $*"
  [ -f "$shown" ] && sed "s/^/  $(basename "$shown" .log)| /" "$shown"
  exit 1
}

# Runs a command; checks its exit status and that its output holds a text.
expect_run() {  # status text command...
  want_status=$1 want_text=$2; shift 2
  out=$("$@" 2>&1); status=$?
  [ "$status" -eq "$want_status" ] || fail "$* exited $status, not $want_status: $out"
  case "$out" in *"$want_text"*) ;; *) fail "$* said: $out (wanted: $want_text)" ;; esac
}

# Starts orv-sim with the given options, its output in LOG; sets $sim_pid and
# $where to what its first line names: a TCP address, a pty or a socket.
start_sim() {  # LOG options...
  sim_log=$1; shift
  : >"$sim_log"  # a fresh log: an old first line names a simulator that is gone
  ${emu:-} "$sim" "$@" >"$sim_log" 2>&1 &
  sim_pid=$! sim_pids="$sim_pids $!"
  for _ in $(seq 200); do
    # The first line only once whole: a part of it could name a wrong port.
    if [ "$(wc -l <"$sim_log")" -gt 0 ]; then
      where=$(sed -n '1s/^orv-sim: \(listening on\|serial line at\|usb device at\) //p' "$sim_log")
      [ -n "$where" ] && return 0
    fi
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  fail "orv-sim $* did not start: $(cat "$sim_log")"
}

# Ends the simulator started last.
stop_sim() { [ -n "$sim_pid" ] && { kill "$sim_pid"; wait "$sim_pid"; } 2>/dev/null; sim_pid=""; }

# Waits up to 15 s for a text in a file.
wait_for() {  # text file
  for _ in $(seq 300); do grep -q "$1" "$2" && return 0; sleep 0.05; done
  fail "no \"$1\" in $(basename "$2")"
}

# Sends a Ctrl-C to a process started in the background, which must end
# within 5 s; sets $status to its exit status.
interrupt() {  # pid
  kill -INT "$1"
  for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$1" 2>/dev/null && fail "still running 5 s after Ctrl-C"
  wait "$1"; status=$?
}
