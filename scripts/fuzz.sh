#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang, -fsanitize=fuzzer,
# address,undefined) and runs each for SECONDS (default 30), starting from
# its seed corpus in fuzz/corpus/<target>. Fails when any target crashes,
# trips a sanitizer or breaks one of its invariants; the input that did it is
# kept as build/fuzz/artifacts/<target>-crash-*.
#
#   bash scripts/fuzz.sh [SECONDS]
#   bash scripts/fuzz.sh --available   # exit 0 when clang can link a fuzzer
#
# To replay a crash: build/fuzz/bin/<target> build/fuzz/artifacts/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(fuzz_check_reply fuzz_receive_reply fuzz_define_point fuzz_block_transfer fuzz_sim_frame fuzz_gateway_modbus)

# Whether clang is there with its libFuzzer runtime (libclang_rt.fuzzer).
fuzzer_available() {
  command -v clang++ >/dev/null 2>&1 || return 1
  local probe
  probe="$(mktemp -d "${TMPDIR:-/tmp}/zortw-fuzz-probe.XXXXXX")"
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$probe/p.cpp"
  local ok=0
  clang++ -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1 || ok=1
  rm -rf "$probe"
  return $ok
}

if [ "${1:-}" = "--available" ]; then
  fuzzer_available
  exit $?
fi
seconds="${1:-30}"
if ! fuzzer_available; then
  echo "fuzz: clang with its fuzzer runtime is missing (scripts/setup.sh installs it)" >&2
  exit 1
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/zortw-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

cmake --preset fuzz >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  echo "fuzz: the configuration failed" >&2
  exit 1
}
cmake --build --preset fuzz -- -j2 >"$work/build.log" 2>&1 || {
  cat "$work/build.log" >&2
  echo "fuzz: the build failed" >&2
  exit 1
}

bin=build/fuzz/bin
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

passed=0
failed=0
for target in "${targets[@]}"; do
  # New inputs go to a scratch corpus; the seeds in the tree are only read.
  mkdir -p "$work/$target"
  log="$work/$target.log"
  if "$bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$target-" "$work/$target" "fuzz/corpus/$target" >"$log" 2>&1 </dev/null; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz: $target ok (${runs:-?} runs in ${seconds}s, $cov)"
    passed=$((passed + 1))
  else
    tail -n 60 "$log"
    echo "fuzz: $target FAILED (input kept in $artifacts/)"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
