#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian machine (as root).
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686 binutils-mingw-w64-i686)
command -v socat >/dev/null || need+=(socat)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -d /usr/src/googletest/googletest ] || need+=(googletest)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/CLI/CLI.hpp ] || need+=(libcli11-dev)
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
[ -f /usr/include/modbus/modbus.h ] || need+=(libmodbus-dev)
[ -f /usr/include/toml++/toml.h ] || need+=(libtomlplusplus-dev)
[ -f /usr/include/asio.hpp ] || need+=(libasio-dev)
# sd_notify for the gateway (Type=notify, watchdog).
[ -f /usr/include/systemd/sd-daemon.h ] || need+=(libsystemd-dev)
[ -f /usr/include/openssl/ssl.h ] || need+=(libssl-dev)
command -v mbpoll >/dev/null || need+=(mbpoll)
/usr/bin/python3 -c 'import pymodbus' 2>/dev/null || need+=(python3-pymodbus)
command -v gnuplot >/dev/null || need+=(gnuplot-nox)
command -v strace >/dev/null || need+=(strace)
# The fuzz targets: clang and its runtimes (libclang_rt.fuzzer, ASan, UBSan).
command -v clang++ >/dev/null || need+=(clang)
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
  need+=(libclang-rt-14-dev)
if ! command -v wine >/dev/null || ! dpkg -s wine32:i386 >/dev/null 2>&1; then
  need+=(wine wine32:i386)
fi
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages: ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  dpkg --add-architecture i386
  apt-get update -q
  apt-get install -y -q "${need[@]}"
fi
# promtool checks the gateway's metrics in a test (skipped without it). Debian
# ships it only in prometheus (about 96 MB); without recommends, nothing more.
if ! command -v promtool >/dev/null; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing package: prometheus (run as root to install it)" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends prometheus
fi
