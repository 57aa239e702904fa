#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine (as root).
#
#   bash scripts/setup.sh           everything: Linux and Windows builds, every test,
#                                   the fuzzers, Wine, the packages and their checks
#   bash scripts/setup.sh --linux   the Linux build and its tests (scripts/test.sh --quick)
#   bash scripts/setup.sh --package the Linux build and what scripts/package.sh
#                                   needs: dpkg-dev, file, lintian, man-db
#   bash scripts/setup.sh --package --win32
#                                   and the mingw-w64 cross compiler (package.sh --win32)
#   bash scripts/setup.sh --demo    only what scripts/demo.sh builds: a compiler,
#                                   CMake, Ninja, pkg-config, CLI11, nlohmann/json
#
# A minimal Debian (apt and git only, as a fresh container gives it) lacks
# pkg-config and procps too: both are named here. Every profile installs
# without recommended packages, so whatever a build or test needs from a
# package's Recommends is named here (pymodbus's serial transport,
# python3-serial-asyncio, without which it does not import; curl; file for
# CPack), and the full set-up, which CI runs in a minimal root, proves the
# lists the smaller profiles share with it. Wine runs headless: none of its
# recommended X, sound and font libraries is needed.
# As another user, nothing is installed: the missing packages are listed and
# the exit status is 1.
set -euo pipefail
linux=1 package=1 win32=1 full=1
if [ $# -gt 0 ]; then
  linux=0 package=0 win32=0 full=0
fi
for arg in "$@"; do
  case "$arg" in
    --demo) ;;
    --linux) linux=1 ;;
    --package) linux=1 package=1 ;;
    --win32) win32=1 ;;
    --full) linux=1 package=1 win32=1 full=1 ;;
    *)
      echo "usage: setup.sh [--demo|--linux|--package [--win32]|--full]" >&2
      exit 2
      ;;
  esac
done

need=()
have_header() { [ -f "/usr/include/$1" ]; }

# The demo: the driver, tiway and tiway-sim.
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
have_header CLI/CLI.hpp || need+=(libcli11-dev)
have_header nlohmann/json.hpp || need+=(nlohmann-json3-dev)

if [ $linux = 1 ]; then
  # The Linux build with its tests, benchmarks and the gateway.
  command -v ps >/dev/null || need+=(procps)
  command -v socat >/dev/null || need+=(socat)
  command -v python3 >/dev/null || need+=(python3)
  have_header gtest/gtest.h || need+=(libgtest-dev)
  [ -d /usr/src/googletest/googletest ] || need+=(googletest)
  have_header benchmark/benchmark.h || need+=(libbenchmark-dev)
  have_header modbus/modbus.h || need+=(libmodbus-dev)
  have_header toml++/toml.h || need+=(libtomlplusplus-dev)
  have_header asio.hpp || need+=(libasio-dev)
  # sd_notify for the gateway (Type=notify, watchdog), and its TLS listener.
  have_header systemd/sd-daemon.h || need+=(libsystemd-dev)
  have_header openssl/ssl.h || need+=(libssl-dev)
  # The status page's HTTP server (cpp-httplib, built with OpenSSL) and its
  # JSON (nlohmann/json, above).
  have_header httplib.h || need+=(libcpp-httplib-dev)
  command -v mbpoll >/dev/null || need+=(mbpoll)
  # The gateway's tests drive it with pymodbus (whose package imports
  # serial_asyncio: only a Recommends), fetch its metrics with curl, make
  # their certificates with openssl and rate its unit with systemd-analyze.
  /usr/bin/python3 -c 'import pymodbus' 2>/dev/null || need+=(python3-pymodbus)
  /usr/bin/python3 -c 'import serial_asyncio' 2>/dev/null || need+=(python3-serial-asyncio)
  command -v curl >/dev/null || need+=(curl)
  command -v openssl >/dev/null || need+=(openssl)
  command -v systemd-analyze >/dev/null || need+=(systemd)
  # The gateway's Sparkplug B edge node: libmosquitto, protobuf (the
  # payload schema compiled at build time, for C++ and for the tests'
  # Python host), SQLite for the store; its tests run a real mosquitto and
  # a host on paho-mqtt.
  have_header mosquitto.h || need+=(libmosquitto-dev)
  command -v protoc >/dev/null || need+=(protobuf-compiler)
  have_header google/protobuf/message.h || need+=(libprotobuf-dev)
  have_header sqlite3.h || need+=(libsqlite3-dev)
  [ -x /usr/sbin/mosquitto ] || need+=(mosquitto)
  /usr/bin/python3 -c 'import paho.mqtt' 2>/dev/null || need+=(python3-paho-mqtt)
  /usr/bin/python3 -c 'import google.protobuf' 2>/dev/null || need+=(python3-protobuf)
  command -v gnuplot >/dev/null || need+=(gnuplot-nox)
  command -v strace >/dev/null || need+=(strace)
fi

if [ $package = 1 ]; then
  # scripts/package.sh: CPack's dependency lists use dpkg-shlibdeps, CPack's
  # DEB generator needs file; lintian checks the packages, and man (man-db,
  # with groff-base) their man pages.
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v file >/dev/null || need+=(file)
  command -v lintian >/dev/null || need+=(lintian)
  command -v man >/dev/null || need+=(man-db)
fi

if [ $win32 = 1 ]; then
  command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686 binutils-mingw-w64-i686)
fi

i386=0
mmdebstrap=0
if [ $full = 1 ]; then
  # The fuzz targets: clang and its runtimes (libclang_rt.fuzzer, ASan, UBSan).
  command -v clang++ >/dev/null || need+=(clang)
  compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
    need+=(libclang-rt-14-dev)
  if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    need+=(wine wine32:i386)
    i386=1
  fi
  # A minimal Debian root for scripts/fresh-check.sh: a tool of the host,
  # installed with what it recommends (installed alone, below).
  command -v mmdebstrap >/dev/null || mmdebstrap=1
  # The picture in docs/architecture.md (scripts/architecture-svg.sh).
  command -v dot >/dev/null || need+=(graphviz)
  # The status page in a real browser (gateway_web_test): Debian's chromium,
  # driven by puppeteer-core from npm (installed below into build/node_modules).
  [ -x /usr/bin/chromium ] || need+=(chromium)
  command -v npm >/dev/null || need+=(npm)
fi

# promtool checks the gateway's metrics in a test (skipped without it). Debian
# ships it only in prometheus (about 96 MB); without recommends, nothing more.
# The demo does not need it.
promtool=0
if [ $linux = 1 ] && ! command -v promtool >/dev/null; then promtool=1; fi

if [ ${#need[@]} -gt 0 ] || [ $promtool = 1 ] || [ $mmdebstrap = 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    [ $promtool = 1 ] && need+=(prometheus)
    [ $mmdebstrap = 1 ] && need+=(mmdebstrap)
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  [ $i386 = 1 ] && dpkg --add-architecture i386
  apt-get update -q
  [ $promtool = 1 ] && need+=(prometheus)
  [ ${#need[@]} -gt 0 ] && apt-get install -y -q --no-install-recommends "${need[@]}"
  [ $mmdebstrap = 1 ] && apt-get install -y -q mmdebstrap
fi
# puppeteer-core (no browser of its own) into the build tree, not globally:
# gateway_web_test finds it there (skipped without it).
if [ $full = 1 ]; then
  modules="$(cd "$(dirname "$0")/.." && pwd)/build"
  if [ ! -f "$modules/node_modules/puppeteer-core/package.json" ]; then
    mkdir -p "$modules"
    # The system's certificate authorities (a proxy's among them, where the
    # machine has one). Without the registry the browser test says it is
    # skipped and why; nothing else needs it.
    npm install --prefix "$modules" --no-audit --no-fund --no-save \
      --cafile /etc/ssl/certs/ca-certificates.crt puppeteer-core@24 ||
      echo "setup: puppeteer-core did not install from npm's registry:" \
        "gateway_web_test's browser case will be skipped" >&2
  fi
fi
exit 0
