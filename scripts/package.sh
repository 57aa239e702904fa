#!/usr/bin/env bash
# The packages: Debian packages of the Linux build, checked with lintian,
# and, with --win32, the Windows zip.
#
#   bash scripts/package.sh [--win32]
#
# Debian (build/package/*.deb, preset package: prefix /usr):
#   libzortw1      the driver library
#   libzortw-dev   zortw/zortw.h, the CMake package, zortw.pc, driver.md, the example
#   tiway-tools    tiway and tiway-sim, man pages, bash completion, tiway.md and
#                  the JSON schema of its records; suggests gnuplot (tiway plot)
#   tiway-gateway  tiway-gateway, its systemd unit (not enabled), /etc/tiway-gateway
# lintian must report no error; its warnings are listed (docs/packaging.md
# says why each stays). Windows (build/win32/zortw-VERSION-win32.zip):
# zortw.dll, tiway.exe, the header, README.txt and the integrator's docs.
set -euo pipefail
cd "$(dirname "$0")/.."
zip=""
win32=0
case "${1:-}" in
  "") ;;
  --win32) win32=1 ;;
  *)
    echo "usage: package.sh [--win32]" >&2
    exit 2
    ;;
esac

# What the packaging needs beyond the Linux build (dpkg-dev, file, lintian;
# mingw-w64 with --win32): installed as root, listed otherwise.
if [ $win32 = 1 ]; then
  bash scripts/setup.sh --package --win32
else
  bash scripts/setup.sh --package
fi

cmake --preset package >/dev/null
cmake --build --preset package -- -j2
rm -f build/package/*.deb
(cd build/package && cpack -G DEB >cpack.log) || {
  cat build/package/cpack.log >&2
  echo "package.sh: cpack failed" >&2
  exit 1
}
status=0
for deb in build/package/*.deb; do
  echo "== $(basename "$deb")"
  dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\|Section\): /  \1: /p'
  # Errors fail; warnings are shown.
  lintian --allow-root --fail-on error --tag-display-limit 0 "$deb" >"$deb.lintian" || status=1
  sed 's/^/  /' "$deb.lintian"
done

if [ $win32 = 1 ]; then
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 --target zortw tiway -- -j2
  rm -f build/win32/*.zip
  (cd build/win32 && cpack -G ZIP >cpack.log) || {
    cat build/win32/cpack.log >&2
    echo "package.sh: cpack (win32) failed" >&2
    exit 1
  }
  zip="$(ls build/win32/zortw-*-win32.zip)"
fi

# Each package's file list, and the unpacked tools' --version.
bash tests/install/package_test.sh build/package ${zip:-} || status=1
exit $status
