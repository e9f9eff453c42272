#!/bin/sh
# orv-collect at scale: N TCP registers (orv-sim) at once against one alone.
#   bench/collect_bench.sh ORV_COLLECT ORV_SIM [N=16] [KB=300]
# Each register receives a series of KB kilobytes from the host (a price
# table: the host's sends are paced at one block per 10 ms, so this is where
# registers running side by side must not slow each other) and then sends
# the host a series of the same size (its sales). Prints, per direction, one
# register's throughput alone, the slowest and the mean per-register
# throughput with N at once as a ratio to it, and the wall time of the whole
# collection against the slowest register's time alone.
set -eu
collect=$1 sim=$2 n=${3:-16} kb=${4:-300}
work=$(mktemp -d)
pids=""
cleanup() { for p in $pids; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
cd "$work"

# KB kilobytes of 5-byte rows, as hex text.
rows=$((kb * 1024 / 5))
awk -v n="$rows" 'BEGIN { for (i = 0; i < n; i++) printf "%010X\r\n", (i * 2654435761) % 1099511627776 }' >rows.txt
mkdir -p prices
printf '0100000000000001020203' >prices/header.txt
cp rows.txt prices/prices.txt

config() {  # count -> shop.toml, starting that many simulators
  cat >shop.toml <<'EOF'
[collect]
retries = 0

[defaults]
receive_wait = 10000
retries = 160
timeout = 250

[[job]]
kind = "send"
name = "prices"
command = "PUT"
header = "prices/header.txt"
data = "prices/prices.txt"
csv = true

[[job]]
kind = "receive"
name = "sales"
command = "GET"
csv = true
into = "got/{register}"
EOF
  i=0
  while [ "$i" -lt "$1" ]; do
    mkdir -p "reg/$i/out"
    printf '0100000000000001020203' >"reg/$i/out/header.txt"
    cp rows.txt "reg/$i/out/data.txt"
    "$sim" --data "reg/$i" --tcp 0 >"reg/$i.log" 2>&1 &
    pids="$pids $!"
    for _ in $(seq 200); do
      where=$(sed -n '1s/.* //p' "reg/$i.log" 2>/dev/null)
      [ -n "$where" ] && break
      sleep 0.05
    done
    printf '\n[[register]]\nname = "r%d"\ntcp = "%s"\n' "$i" "$where" >>shop.toml
    i=$((i + 1))
  done
}

run() {  # count -> report.json; prints "wall-seconds"
  config "$1"
  start=$(date +%s.%N)
  "$collect" --quiet --report report.json shop.toml || { echo "collection failed" >&2; exit 1; }
  end=$(date +%s.%N)
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=""
  rm -rf reg got
  echo "$start $end" | awk '{ printf "%.2f", $2 - $1 }'
}

# Per job name: "min mean max" of bytes/second over the registers.
rates() {
  jq -r --arg job "$1" '[.results[] | select(.name == $job) | .bytes / .seconds]
    | "\(min) \(add / length) \(max)"' report.json
}
slowest() { jq -r '[.results | group_by(.register)[] | map(.seconds) | add] | max' report.json; }

wall1=$(run 1)
single_send=$(rates prices | cut -d' ' -f2)
single_recv=$(rates sales | cut -d' ' -f2)
single_time=$(slowest)
walln=$(run "$n")
echo "$n TCP registers at once, $kb KB each way per register"
for job in prices sales; do
  single=$single_send
  [ "$job" = sales ] && single=$single_recv
  rates "$job" | awk -v s="$single" -v j="$job" -v n="$n" '{
    printf "  %-6s one alone %7.1f KB/s; with %d at once per register: slowest %7.1f KB/s (%.2f), mean %7.1f KB/s (%.2f)\n",
      j, s / 1024, n, $1 / 1024, $1 / s, $2 / 1024, $2 / s }'
done
echo "$wall1 $single_time $walln" | awk '{
  printf "  wall time: one register %.2f s (its jobs %.2f s); all at once %.2f s (%.2f of the single run)\n",
    $1, $2, $3, $3 / $1 }'
