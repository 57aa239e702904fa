#!/usr/bin/env bash
# The installed tree as a third party meets it: `cmake --install` into a
# fresh prefix, the example C host (examples/read_block.c) built against it
# once with find_package(zortw) and once with pkg-config, each reading V
# words, F values and discretes from the installed tiway-sim (each element
# from where the header says the driver puts it); the installed tools run
# --version, and the installed tiway finds the installed driver on its own.
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

# The docs a developer meets, and the example where the package puts it:
# the builds below use that installed copy.
examples="$prefix/share/doc/libzortw-dev/examples"
for doc in libzortw-dev/driver.md libzortw-dev/examples/read_block.c \
  libzortw-dev/examples/CMakeLists.txt tiway-tools/tiway.md tiway-tools/tiway-record.schema.json; do
  [ -s "$prefix/share/doc/$doc" ] || fail "share/doc/$doc is not installed"
done
cmp -s "$source/examples/read_block.c" "$examples/read_block.c" ||
  fail "the installed example is not the source's"

# find_package(zortw) and the imported target.
timeout 120 cmake -S "$examples" -B "$work/fp" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/fp.log" 2>&1 || { cat "$work/fp.log" >&2; fail "find_package(zortw) failed"; }
timeout 120 cmake --build "$work/fp" >>"$work/fp.log" 2>&1 || {
  cat "$work/fp.log" >&2
  fail "the example did not build with find_package"
}

# pkg-config --cflags --libs zortw.
export PKG_CONFIG_PATH="$lib/pkgconfig"
flags="$(pkg-config --cflags --libs zortw)" || fail "pkg-config knows no zortw"
# shellcheck disable=SC2086
cc -std=c11 -Wall -Wextra -Wpedantic -Werror "$examples/read_block.c" $flags \
  -o "$work/read_block_pc" || fail "the example did not build with pkg-config"

# The installed tools.
for tool in tiway tiway-sim tiway-gateway; do
  if [ -x "$prefix/bin/$tool" ]; then
    version="$(timeout 20 "$prefix/bin/$tool" --version)" || fail "$tool --version failed"
    [[ "$version" == *1.* ]] || fail "$tool --version said: $version"
  fi
done

# Blocks from the installed simulator, through each build of the example:
# one row of the simulator's memory file each, read whole, and the example
# must print exactly the values the file holds. The rows are the placements
# a host gets wrong when it takes element k from data[k].
rows=(
  "05 V 0064 = 0023"                # one V word: data[1], not data[0]
  "05 V 0070 = 1111 2222 3333 4444" # a V block: data[0] on
  "05 F 0100 = 12345678 9ABCDEF0"   # F values: four words each, low word first
  "05 X 0010 = 1 0 1 1"             # discretes: every second word from data[1]
  "05 C 0030 = 1"                   # one discrete
)
printf '%s\n' "${rows[@]}" >"$work/data.txt"
"$prefix/bin/tiway-sim" --link "$port" --stations 5 --configured --data "$work/data.txt" \
  --exit-after-idle 60 >"$work/sim.out" 2>"$work/sim.log" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q listening "$work/sim.out" 2>/dev/null && [ -L "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q listening "$work/sim.out" || { cat "$work/sim.log" >&2; fail "the simulator did not start"; }

for row in "${rows[@]}"; do
  read -r station type address _ values <<<"$row"
  read -ra values <<<"$values"
  point="$station$type$address"
  count=${#values[@]}
  [ "$type" = F ] && count=$((2 * count))  # F counts 16-bit words
  expected=""
  for k in "${!values[@]}"; do
    case "$type" in
      V) value="$(printf '0x%04X' "0x${values[k]}")" ;;
      F) value="$(printf '0x%08X' "0x${values[k]}")" ;;
      *) value="${values[k]}" ;;
    esac
    expected+="$point+$k = $value"$'\n'
  done
  for program in "$work/fp/read_block" "$work/read_block_pc"; do
    out="$(LD_LIBRARY_PATH="$lib" timeout 60 "$program" "$port" "$point" "$count" 8 0)" ||
      fail "$program $point $count failed: $out"
    [ "$(grep "^$point" <<<"$out")" = "${expected%$'\n'}" ] ||
      fail "$program read $point x$count as: $out (the memory holds: $row)"
  done
done

# The installed tiway loads the installed driver without being told where.
info="$(timeout 20 "$prefix/bin/tiway" info)" || fail "installed tiway info failed: $info"
grep -q "context size  1470" <<<"$info" || fail "installed tiway info: $info"
loaded="$(sed -n 's/^library *//p' <<<"$info")"
[ "$(realpath "$loaded")" = "$(realpath "$lib/libzortw.so.1")" ] || fail "installed tiway did not load the installed driver: $info"
echo "install_test: find_package and pkg-config builds read V, F and discrete blocks; tools run"
