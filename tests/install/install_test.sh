#!/usr/bin/env bash
# The installed tree as a third party meets it: `cmake --install` into a
# fresh prefix, the example C host (examples/read_block.c) built against it
# once with find_package(zortw) and once with pkg-config, each reading a
# block from the installed tiway-sim; the installed tools run --version, and
# the installed tiway finds the installed driver on its own.
#
#   install_test.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build="$1" source="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/zortw-install.XXXXXX")"
port="$(mktemp -u /tmp/twXXXX)"  # the driver takes at most 11 characters
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -f "$port"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "install_test: $*" >&2
  exit 1
}

prefix="$work/prefix"
timeout 120 cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
  cat "$work/install.log" >&2
  fail "cmake --install failed"
}
lib="$(dirname "$(find "$prefix" -name libzortw.so.1 | head -1)")"
[ -d "$lib" ] || fail "no libzortw.so.1 installed"

# find_package(zortw) and the imported target.
timeout 120 cmake -S "$source/examples" -B "$work/fp" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/fp.log" 2>&1 || { cat "$work/fp.log" >&2; fail "find_package(zortw) failed"; }
timeout 120 cmake --build "$work/fp" >>"$work/fp.log" 2>&1 || {
  cat "$work/fp.log" >&2
  fail "the example did not build with find_package"
}

# pkg-config --cflags --libs zortw.
export PKG_CONFIG_PATH="$lib/pkgconfig"
flags="$(pkg-config --cflags --libs zortw)" || fail "pkg-config knows no zortw"
# shellcheck disable=SC2086
cc -std=c11 -Wall -Wextra -Wpedantic -Werror "$source/examples/read_block.c" $flags \
  -o "$work/read_block_pc" || fail "the example did not build with pkg-config"

# The installed tools.
for tool in tiway tiway-sim tiway-gateway; do
  if [ -x "$prefix/bin/$tool" ]; then
    version="$(timeout 20 "$prefix/bin/$tool" --version)" || fail "$tool --version failed"
    [[ "$version" == *1.* ]] || fail "$tool --version said: $version"
  fi
done

# A block from the installed simulator, through each build of the example.
printf '05 V 0064 = 1111 2222 3333 4444\n' >"$work/data.txt"
"$prefix/bin/tiway-sim" --link "$port" --stations 5 --configured --data "$work/data.txt" \
  --exit-after-idle 60 >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/sim.out" 2>/dev/null && [ -L "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q listening "$work/sim.out" || { cat "$work/sim.log" >&2; fail "the simulator did not start"; }

expected="05V0064+0 = 0x1111
05V0064+1 = 0x2222
05V0064+2 = 0x3333
05V0064+3 = 0x4444"
for program in "$work/fp/read_block" "$work/read_block_pc"; do
  out="$(LD_LIBRARY_PATH="$lib" timeout 60 "$program" "$port" 05V0064 4 8 0)" ||
    fail "$program failed: $out"
  [ "$(grep '^05V0064' <<<"$out")" = "$expected" ] || fail "$program read: $out"
done

# The installed tiway loads the installed driver without being told where.
info="$(timeout 20 "$prefix/bin/tiway" info)" || fail "installed tiway info failed: $info"
grep -q "context size  1470" <<<"$info" || fail "installed tiway info: $info"
loaded="$(sed -n 's/^library *//p' <<<"$info")"
[ "$(realpath "$loaded")" = "$(realpath "$lib/libzortw.so.1")" ] || fail "installed tiway did not load the installed driver: $info"
echo "install_test: find_package and pkg-config builds read the block; tools run"
