#!/usr/bin/env bash
# The Debian packages: each one's file list exactly as expected, and the
# tools of the packages, unpacked together into one root, run --version;
# the unpacked tiway finds the unpacked driver by itself.
#
#   package_test.sh DIR [ZIP]   (the .deb files of scripts/package.sh; the
#                                Windows zip, whose file list is checked too)
# Checks go on after a failure (no set -e): every failure is reported.
set -uo pipefail
dir="$1"
arch="$(dpkg --print-architecture)"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || echo x86_64-linux-gnu)"
version="$(sed -n 's/^project(zortw VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")"
root="$(mktemp -d "${TMPDIR:-/tmp}/zortw-packages.XXXXXX")"
trap 'rm -rf "$root"' EXIT
failed=0 passed=0
check() {  # NAME CONDITION-STATUS MESSAGE
  if [ "$2" = 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "package_test: $1: $3" >&2
  fi
}

lib=usr/lib/$multiarch
declare -A expected
expected[libzortw1]="./$lib/libzortw.so.1
./$lib/libzortw.so.1.0.0
./usr/share/doc/libzortw1/changelog.gz
./usr/share/doc/libzortw1/copyright"
expected[libzortw-dev]="./$lib/cmake/zortw/zortwConfig.cmake
./$lib/cmake/zortw/zortwConfigVersion.cmake
./$lib/cmake/zortw/zortwTargets-relwithdebinfo.cmake
./$lib/cmake/zortw/zortwTargets.cmake
./$lib/libzortw.so
./$lib/pkgconfig/zortw.pc
./usr/include/zortw/line_time.h
./usr/include/zortw/log_formats.h
./usr/include/zortw/zortw.h
./usr/share/doc/libzortw-dev/changelog.gz
./usr/share/doc/libzortw-dev/copyright
./usr/share/doc/libzortw-dev/driver.md
./usr/share/doc/libzortw-dev/examples/CMakeLists.txt
./usr/share/doc/libzortw-dev/examples/read_block.c"
expected[tiway-tools]="./usr/bin/tiway
./usr/bin/tiway-sim
./usr/share/bash-completion/completions/tiway
./usr/share/bash-completion/completions/tiway-sim
./usr/share/doc/tiway-tools/changelog.gz
./usr/share/doc/tiway-tools/copyright
./usr/share/doc/tiway-tools/examples/demo-data.txt
./usr/share/doc/tiway-tools/tiway-record.schema.json
./usr/share/doc/tiway-tools/tiway-sim.md
./usr/share/doc/tiway-tools/tiway.md
./usr/share/man/man1/tiway-sim.1.gz
./usr/share/man/man1/tiway.1.gz"
expected[tiway-gateway]="./etc/tiway-gateway/gateway.toml
./lib/systemd/system/tiway-gateway.service
./usr/bin/tiway-gateway
./usr/share/bash-completion/completions/tiway-gateway
./usr/share/doc/tiway-gateway/changelog.gz
./usr/share/doc/tiway-gateway/copyright
./usr/share/doc/tiway-gateway/examples/60-tiway.rules
./usr/share/doc/tiway-gateway/examples/gateway.sample.toml
./usr/share/doc/tiway-gateway/gateway.md
./usr/share/man/man8/tiway-gateway.8.gz"

for name in libzortw1 libzortw-dev tiway-tools tiway-gateway; do
  deb="$dir/${name}_${version}_${arch}.deb"
  if [ ! -f "$deb" ]; then
    check "$name" 1 "no $deb"
    continue
  fi
  files="$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort)"
  diff <(echo "${expected[$name]}" | sort) <(echo "$files") >"$root/diff" 2>&1
  check "$name" $? "file list differs (< expected, > packaged):
$(cat "$root/diff")"
  dpkg-deb -x "$deb" "$root/unpacked"
done

# tiway plot needs gnuplot, which tiway-tools suggests.
suggests="$(dpkg-deb --field "$dir/tiway-tools_${version}_${arch}.deb" Suggests)"
[ "$suggests" = gnuplot ]
check tiway-tools $? "Suggests: '$suggests'"

# The gateway's configuration is a conffile; its unit is not enabled by any
# maintainer script.
conffiles="$(dpkg-deb --ctrl-tarfile "$dir/tiway-gateway_${version}_${arch}.deb" |
  tar -xO ./conffiles 2>/dev/null || true)"
[ "$conffiles" = /etc/tiway-gateway/gateway.toml ]
check tiway-gateway $? "conffiles: '$conffiles'"
scripts="$(dpkg-deb --ctrl-tarfile "$dir/tiway-gateway_${version}_${arch}.deb" | tar -t)"
! grep -q 'postinst' <<<"$scripts"
check tiway-gateway $? "a maintainer script would act on install"
grep -q '^ExecStart=/usr/bin/tiway-gateway --config /etc/tiway-gateway/gateway.toml$' \
  "$root/unpacked/lib/systemd/system/tiway-gateway.service"
check tiway-gateway $? "the unit does not start the installed gateway"

# The man pages: groff finds nothing to warn about, each has the sections a
# reader looks for, and none sends the reader back to itself.
for page in man1/tiway.1 man1/tiway-sim.1 man8/tiway-gateway.8; do
  file="$root/unpacked/usr/share/man/$page.gz"
  warnings="$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)"
  [ -z "$warnings" ]
  check "$page" $? "man --warnings: $warnings"
  text="$(zcat "$file")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -q "^\.SH \"\?$section" <<<"$text"
    check "$page" $? "no $section section"
  done
  name="$(basename "$page" | sed 's/\.[0-9]$//')"
  ! sed -n '/^\.SH SEE ALSO/,$p' <<<"$text" | grep -q "^\.BR $name ("
  check "$page" $? "SEE ALSO names the page itself"
done
# The udev recipe is commented: installed, it changes nothing.
rules="$root/unpacked/usr/share/doc/tiway-gateway/examples/60-tiway.rules"
! grep -qv '^#\|^$' "$rules"
check tiway-gateway $? "60-tiway.rules has a rule that is not commented"

for tool in tiway tiway-sim tiway-gateway; do
  out="$(timeout 20 "$root/unpacked/usr/bin/$tool" --version 2>&1)"
  [ "$out" = "$tool $version" ]
  check "$tool" $? "--version said: $out"
done
info="$(timeout 20 "$root/unpacked/usr/bin/tiway" info 2>&1)"
loaded="$(sed -n 's/^library *//p' <<<"$info")"
[ "$(realpath -ms "$loaded")" = "$root/unpacked/$lib/libzortw.so.1" ]
check tiway $? "did not load the packaged driver: $info"

if [ -n "${2:-}" ]; then
  zip="$2"
  top="zortw-$version-win32"
  listed="$(cmake -E tar tf "$zip" | grep -v '/$' | sort)"
  diff <(printf '%s\n' "$top/README.txt" "$top/doc/driver.md" "$top/doc/tiway.md" \
    "$top/include/zortw/zortw.h" "$top/include/zortw/log_formats.h" \
    "$top/include/zortw/line_time.h" "$top/tiway.exe" "$top/zortw.dll" | sort) \
    <(echo "$listed") >"$root/diff" 2>&1
  check "$(basename "$zip")" $? "file list differs (< expected, > packed):
$(cat "$root/diff")"
fi

echo "package_test: $passed passed, $failed failed"
[ $failed = 0 ]
