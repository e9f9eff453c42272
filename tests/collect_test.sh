#!/bin/sh
# orv-collect against simulators started here: one case per run.
#   collect_test.sh CASE ORV_COLLECT ORV_SIM
set -u
case_name=$1 collect=$2 sim=$3
. "$(dirname "$0")/script_support.sh"
shown=$work/out.log
cd "$work" || exit 1

# Starts a simulator serving register NAME's folder; sets $where to its port or pty.
start() {  # name options...
  name=$1; shift
  start_sim "$work/$name.log" --data "$work/reg/$name" "$@"
}

# Starts it and adds the register to shop.toml: KEY = $where, then MORE lines.
serve() {  # name key more options...
  name=$1 key=$2 more=$3; shift 3
  start "$name" "$@"
  printf '\n[[register]]\nname = "%s"\n%s = "%s"\n%b' "$name" "$key" "$where" "$more" >>shop.toml
}

# A register's data, in the very form the host writes it received (csv rows,
# hex header), so that what arrives must equal it byte for byte.
make_register() {  # name rows...
  name=$1; shift
  mkdir -p "$work/reg/$name/out"
  printf '0100000000000001020203' >"$work/reg/$name/out/header.txt"
  : >"$work/reg/$name/out/data.txt"
  for row in "$@"; do printf '%s,%s\r\n' "${row%??????}" "${row#????}" >>"$work/reg/$name/out/data.txt"; done
  printf 'F0E0,D0C0B0\r\n' >"$work/reg/$name/out/data.002"
}

field() { jq -r "[.results[] | select(.register == \"$1\" and .job == ${3:-1})][0].$2" "$work/report.json"; }

cat >"$work/head.toml" <<'EOF'
[collect]
retries = 1
backoff_ms = 3000

[defaults]
receive_wait = 1000
line_mode = 2
timeout = 1000
record_timeout = 3000

[[job]]
kind = "receive"
command = "GET"
csv = true
into = "got/{register}"

[[job]]
kind = "send"
command = "PUT"
header = "prices/header.txt"
data = "prices/prices.txt"
csv = true
EOF
mkdir -p prices
printf '0100000000000001020203' >prices/header.txt
printf '1111111111\r\n2222222222\r\n' >prices/prices.txt

case $case_name in
collect)
  # Five good registers on TCP, ptys and USB (one only there from the second
  # attempt), one silent, one hung past its limit, one that breaks a block
  # mid-series.
  for name in tcp-a usb late pty-a pty-b silent stuck broken; do
    make_register "$name" 0102030405 0A0B0C0D0E 1112131415 2122232425
  done
  cp head.toml shop.toml
  serve tcp-a tcp "" --tcp 0
  serve silent tcp "" --tcp 0 --silent
  serve broken tcp "" --tcp 0 --bad-checksum-every 3
  serve usb usb "" --usb "$work/usb.sock"
  serve stuck tcp 'limit_s = 1\nreceive_wait = 60000\n' --tcp 0 --silent
  serve pty-a serial "" --pty
  serve pty-b serial "" --pty
  # A port nobody serves yet: the first attempt's open fails.
  serve late tcp "" --tcp 0
  stop_sim
  late_port=${where##*:}
  # Good files of an earlier day that a failed collection must leave alone.
  mkdir -p got/broken && printf 'earlier\r\n' >got/broken/data.txt

  "$collect" --report report.json shop.toml >out.log 2>&1 &
  run=$!
  wait_for "late: retry 1 of 1" out.log
  start late --tcp "$late_port"
  wait "$run"; status=$?
  [ "$status" -eq 1 ] || fail "exit $status, not 1"

  for name in tcp-a usb late pty-a pty-b; do
    for f in header.txt data.txt data.002; do
      cmp -s "reg/$name/out/$f" "got/$name/$f" || fail "$name: got/$name/$f differs from the register's"
    done
    [ "$(tr -d '\r\n,' <"reg/$name/in/data.txt")" = 11111111112222222222 ] || fail "$name received $(cat "reg/$name/in/data.txt")"
    [ "$(field "$name" status 2)" = ok ] || fail "$name: prices not ok"
  done
  [ "$(field late status)/$(field late attempts)/$(jq -c '[.results[]|select(.register=="late" and .job==1)][0].tries|map(.code)' report.json)" = "ok/2/[35,0]" ] ||
    fail "late: not reported as a retry that succeeded"
  [ "$(field silent status)/$(field silent code)/$(field silent attempts)" = failed/39/2 ] || fail "silent: $(field silent status) $(field silent code)"
  [ "$(field silent status 2)" = skipped ] || fail "silent: the job after a failed one was not skipped"
  [ "$(field stuck status)" = hung ] || fail "stuck: $(field stuck status)"
  [ "$(field broken status)/$(field broken code)" = failed/82 ] || fail "broken: $(field broken status) $(field broken code)"
  [ "$(cat got/broken/data.txt)" = "$(printf 'earlier\r\n')" ] || fail "a failed job touched the earlier files"
  partial=$(field broken 'failed_dirs[0]')
  [ -s "$partial/data.txt" ] || fail "broken: no partial files in $partial"
  ls -a got/broken | grep -q partial && fail "a temporary folder was left behind"
  # Every object carries the documented fields with their types.
  jq -e '(.format == 1) and (.exit == 1) and (.cancelled == false) and (.started|type == "string")
         and (.seconds|type == "number") and (.results|length == 16) and all(.results[];
           (.register|type == "string") and (.link|type == "string") and (.job|type == "number")
           and (.name|type == "string") and (.kind|IN("receive","send","read","write"))
           and (.status|IN("ok","failed","crashed","hung","cancelled","skipped"))
           and (.code|type|IN("number","null")) and (.meaning|type|IN("string","null"))
           and (.attempts|type == "number") and (.bytes|type == "number")
           and (.seconds|type == "number") and (.into|type|IN("string","null"))
           and (.files|type == "array") and (.failed_dirs|type == "array")
           and ((.tries|length) == .attempts))' report.json >/dev/null || fail "report fields: $(cat report.json)"
  grep -q "silent .*39 no answer from the register in time (2 attempts)" out.log || fail "summary table"
  ;;
cancel)
  # Ctrl-C while two registers wait for answers: both cancelled, report written.
  make_register quiet-tcp 0102030405
  make_register quiet-pty 0102030405
  cp head.toml shop.toml
  serve quiet-tcp tcp 'receive_wait = 60000\n' --tcp 0 --silent
  serve quiet-pty serial 'select_timeout = 60000\n' --pty --silent
  "$collect" --report report.json shop.toml >out.log 2>&1 &
  run=$!
  wait_for "quiet-tcp: receive: started" out.log
  wait_for "quiet-pty: receive: started" out.log
  interrupt "$run"
  [ "$status" -eq 1 ] || fail "exit $status after Ctrl-C"
  [ "$(jq -c '[.cancelled, (.results|map([.status, .code]))]' report.json)" = \
    '[true,[["cancelled",36],["cancelled",null],["cancelled",36],["cancelled",null]]]' ] ||
    fail "report after Ctrl-C: $(cat report.json)"
  ;;
crash)
  # A worker that dies mid-transfer is reported as crashed; the run goes on.
  make_register doomed 0102030405
  sed 's/^retries = 1$/retries = 0/' head.toml >shop.toml
  serve doomed tcp 'receive_wait = 60000\n' --tcp 0 --silent
  "$collect" --report report.json shop.toml >out.log 2>&1 &
  run=$!
  wait_for "doomed: receive: started" out.log
  worker=$(pgrep -P "$run")
  [ -n "$worker" ] || fail "no worker process"
  kill -SEGV "$worker"
  wait "$run"; status=$?
  [ "$status" -eq 1 ] || fail "exit $status"
  [ "$(jq -c '.results|map([.status, .code])' report.json)" = '[["crashed",null],["skipped",null]]' ] ||
    fail "report: $(cat report.json)"
  grep -q "doomed: worker \(crashed\|ended\)" out.log || fail "no word of the crash"
  ;;
kept)
  # Partial files that cannot be moved to the failed folder stay in their
  # temporary folder, which the report names; they were deleted.
  make_register broken 0102030405 0A0B0C0D0E 1112131415 2122232425
  sed 's/^retries = 1$/retries = 0/' head.toml >shop.toml
  serve broken tcp "" --tcp 0 --bad-checksum-every 3
  mkdir failed && : >failed/broken
  # The report is written under a name of its own, not through what another
  # run (or anyone) left at a fixed name beside it.
  printf 'mine\n' >victim && ln -s victim report.json.partial
  "$collect" --report report.json shop.toml >out.log 2>&1
  partial=$(field broken 'failed_dirs[0]')
  [ "$(field broken code)" = 82 ] && [ -s "$partial/data.txt" ] || fail "partial files lost: $partial"
  [ "$(cat victim)" = mine ] && [ ! -L report.json ] || fail "report written through report.json.partial"
  ;;
one_line)
  # A device named by a link and by its own path is one line: its registers
  # run one after another, not both at once.
  make_register a 0102030405
  sed 's/^retries = 1$/retries = 0/' head.toml >shop.toml
  serve a serial "" --pty
  ln -s "$where" pty-link
  printf '\n[[register]]\nname = "b"\nserial = "pty-link"\n' >>shop.toml
  "$collect" --report report.json shop.toml >out.log 2>&1
  [ "$(jq -c '[.results[]|select(.job == 1)|.status]' report.json)" = '["ok","ok"]' ] || fail "$(cat out.log)"
  ;;
elsewhere)
  # A job folder on another file system (here through a link) gets its files.
  make_register a 0102030405
  sed 's/^retries = 1$/retries = 0/' head.toml >shop.toml
  serve a tcp "" --tcp 0
  shm=$(mktemp -d /dev/shm/orv-collect-test.XXXXXX) && mkdir got && ln -s "$shm" got/a
  "$collect" --report report.json shop.toml >out.log 2>&1
  cmp -s reg/a/out/data.002 "$shm/data.002"; same=$?
  rm -rf "$shm"
  [ "$(field a status)" = ok ] && [ "$same" -eq 0 ] || fail "$(cat out.log)"
  ;;
demo_alone)
  # Without orv-sim beside it the demo fails and leaves no temporary folder.
  mkdir bin tmp && cp "$collect" bin/
  TMPDIR=$work/tmp expect_run 1 "cannot start" bin/orv-collect --demo
  [ -z "$(ls tmp)" ] || fail "left behind: $(ls tmp)"
  ;;
config)
  # A wrong value, an unknown key, broken TOML, a received series whose
  # numbered files would land outside their folder, a header the data would
  # overwrite and a zero time limit: exit 2, naming line and key.
  printf '[[register]]\nname = "a"\nserial = 3\nbaud = 9601\n[[job]]\nkind = "read"\ninto = "x"\n' >bad1.toml
  printf '[[register]]\nname = "a"\ntcp = "1.2.3.4:5"\n\n[[job]]\nkind = "send"\ndata = "d"\nrecieve_wait = 5\n' >bad2.toml
  printf '[collect]\njobs = 2\nretries = [\n' >bad3.toml
  printf '[[register]]\nname = "a"\ntcp = "127.0.0.1:1"\n[[job]]\nkind = "receive"\ninto = "x"\ndata = "sales"\n' >bad4.toml
  printf '[[register]]\nname = "a"\ntcp = "127.0.0.1:1"\n[[job]]\nkind = "receive"\ninto = "x"\nheader = "data.txt"\n' >bad5.toml
  printf '[defaults]\nlimit_s = 0\n[[register]]\nname = "a"\ntcp = "127.0.0.1:1"\n[[job]]\nkind = "read"\ninto = "x"\n' >bad6.toml
  for c in "bad1.toml:4: key 'baud'" "bad6.toml:2: key 'limit_s'" "bad2.toml:8: key 'recieve_wait'" "bad3.toml:3" "bad4.toml:7: key 'data'" "bad5.toml:7: key 'header'"; do
    expect_run 2 "$c" "$collect" "${c%%:*}"
  done
  expect_run 2 "prices:0: is a folder" "$collect" prices
  ;;
*) fail "unknown case $case_name" ;;
esac
echo "$case_name: passed"
