#!/bin/sh
# Builds the C examples against an installed Orv_Lib, through its CMake package
# and through pkg-config, and runs them against the simulator.
#   consumer_test.sh ROOT PREFIX SIM [serial]
#   consumer_test.sh --install BUILD-DIR SIM [serial]
# ROOT is where the tree was installed or unpacked (a package's files under
# ROOT/usr); PREFIX is the install prefix inside it ("" or /usr). --install
# first installs BUILD-DIR into a temporary prefix. SIM is orv-sim. With
# "serial", the serial and cancel examples run too.
set -u
root=$1 prefix=$2 sim=$3 more=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../script_support.sh"
shown=$work/sim.log
if [ "$root" = --install ]; then
  cmake --install "$prefix" --prefix "$work/prefix" >/dev/null || fail install
  root=$work/prefix prefix=""
fi

top="$root$prefix"
libdir=$(dirname "$(find "$top" -name 'liborv_lib.so.1' | head -n 1)")
[ -d "$libdir" ] || fail "no liborv_lib.so.1 under $top"
export LD_LIBRARY_PATH="$libdir"

if ! { cmake -S "$here" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$top" \
       && cmake --build "$work/cmake"; } >"$work/build.log" 2>&1; then
  cat "$work/build.log"; fail "find_package build"
fi

export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion orv_lib)" = 1.2.0 ] || fail "pkg-config version $(pkg-config --modversion orv_lib)"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror $(pkg-config --cflags orv_lib) "$here/../../examples/c/tcp_host.c" \
  $(pkg-config --libs orv_lib) -o "$work/tcp_host_pc" || fail "pkg-config build"

mkdir -p "$work/reg/out" "$work/host"
printf '0100000000000001020203' >"$work/reg/out/header.txt"
printf '0102030405\r\n0A0B0C0D0E\r\n' >"$work/reg/out/data.txt"
printf '0100000000000001020203' >"$work/host/header.txt"
printf '1111111111\r\n2222222222\r\n' >"$work/host/data.txt"

run_host() {  # name program args...
  name=$1; shift
  rm -f "$work/host/got-"*
  (cd "$work/host" && "$@") >"$work/$name.log" 2>&1 || fail "$name: $(cat "$work/$name.log")"
  [ "$(cat "$work/host/got-data.txt")" = "$(printf '0102,030405\r\n0A0B,0C0D0E\r\n')" ] \
    || fail "$name received $(cat "$work/host/got-data.txt")"
  echo "$name: passed"
}

start_sim "$work/sim.log" --data "$work/reg" --tcp 0
run_host "tcp_host (find_package)" "$work/cmake/tcp_host" 127.0.0.1 "${where##*:}"
run_host "tcp_host (pkg-config)" "$work/tcp_host_pc" 127.0.0.1 "${where##*:}"

# The commands of examples/README.md as they stand, in a copy of the tree, on a
# free port; their "sleep" waits for the simulator instead.
mkdir -p "$work/tree"
cp -r "$here/../../examples" "$here/../../python" "$work/tree/"
port=${where##*:}
stop_sim
{
  echo 'sleep() { for _ in $(seq 300); do grep -q listening "$1" && return; command sleep 0.05; done; }'
  echo 'trap '"'"'kill $! 2>/dev/null'"'"' EXIT; set -e'
  sed -n '/^```sh$/,/^```$/{/^```/d;s/9100/'"$port"'/g;s/^sleep 1;/sleep "$1";/;p}' "$here/../../examples/README.md"
} >"$work/readme.sh"
(PATH=$(cd "$(dirname "$sim")" && pwd):$PATH && cd "$work/tree/examples" \
   && sh "$work/readme.sh" "$work/readme.log") >"$work/readme.log" 2>&1 \
  && [ -s "$work/tree/examples/got-data.txt" ] \
  || shown=$work/readme.log fail "examples/README.md commands: $(cat "$work/readme.sh")"
echo "examples/README.md commands: passed"

# The install commands of python/README.md with Debian's python3, the library
# installed here.
sed -n '/^```sh$/,/^```$/{/^```/d;p}' "$here/../../python/README.md" >"$work/pip.sh"
(cd "$work/tree" && PATH=/usr/bin:$PATH sh -e "$work/pip.sh") >"$work/pip.log" 2>&1 && grep -qx "Ver 1.2" "$work/pip.log" \
  || shown=$work/pip.log fail "python/README.md commands: $(cat "$work/pip.sh")"
echo "python/README.md commands: passed"

if [ "$more" = serial ]; then
  start_sim "$work/sim.log" --data "$work/reg" --pty
  ORV_LIB_COM7=$where run_host serial_host "$work/cmake/serial_host" 7 2
  stop_sim
  start_sim "$work/sim.log" --data "$work/reg" --tcp 0 --silent
  (cd "$work/host" && "$work/cmake/cancel_host" 127.0.0.1 "${where##*:}" 300) >"$work/cancel.log" 2>&1 \
    || fail "cancel_host: $(cat "$work/cancel.log")"
  echo "cancel_host: passed"
fi
