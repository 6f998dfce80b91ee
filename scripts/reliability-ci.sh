#!/usr/bin/env bash
# The reliability checks CI runs on top of the unit suite. The unit suite
# (ctest in the default, asan and tsan presets) already replays the saved fuzz
# corpora and runs the fault-injection, bad-input and leak-accounting tests;
# this adds:
#   1. a short libFuzzer run of each fuzz target (clang 14 with the address and
#      undefined-behaviour sanitizers), starting from its saved corpus;
#   2. the soak at a bounded size.
# Figures land in build/reliability/figures.txt, which
# scripts/reliability-report.sh turns into docs/reliability.md.
#
#   KAVREL_FUZZ_SECONDS  seconds each fuzz target runs (default 45)
#   KAVREL_SOAK_MIB      MiB the soak sends each way (default 256)
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${KAVREL_FUZZ_SECONDS:-45}
soak_mib=${KAVREL_SOAK_MIB:-256}
jobs=2
out=build/reliability
figures=$out/figures.txt
targets=(settings dcb_termios device_name)

rm -rf "$out"
mkdir -p "$out/artifacts"
: >"$figures"
figure() { echo "$1=$2" >>"$figures"; }

echo "=== fuzz: building the targets (clang 14, libFuzzer, address + undefined) ==="
started=$SECONDS
# Warnings are policed by the GCC builds; clang's own extra ones must not
# stop the fuzzing.
CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVREL_FUZZ=ON -DKAVREL_SANITIZE=address,undefined \
  -DKAVREL_FAULT_INJECTION=ON -DKAVREL_BUILD_TOOLS=OFF -DKAVREL_BUILD_BENCH=OFF \
  -DKAVREL_WERROR=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target "${targets[@]/#/kavrel_fuzz_}"
echo "built in $((SECONDS - started)) s"

for target in "${targets[@]}"; do
  echo "=== fuzz: ${target} for ${fuzz_seconds} s ==="
  scratch=$out/corpus/$target
  log=$out/fuzz-$target.log
  mkdir -p "$scratch"
  # New inputs go to the scratch corpus, the first directory named; the saved
  # corpus is only read. A crash, a sanitizer report, a leak or a broken check
  # stops the run and leaves the input in build/reliability/artifacts/.
  if ! "build/fuzz/tests/fuzz/kavrel_fuzz_$target" -max_total_time="$fuzz_seconds" \
      -timeout=10 -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" \
      "$scratch" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz target $target failed; its input is in $out/artifacts/" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "${runs} inputs, no failure"
  figure "fuzz_${target}_inputs" "$runs"
  figure "fuzz_${target}_seconds" "$fuzz_seconds"
done

echo "=== soak: ${soak_mib} MiB each way ==="
started=$SECONDS
build=build/rel-soak
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVREL_FAULT_INJECTION=ON \
  -DKAVREL_BUILD_TOOLS=OFF -DKAVREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target kavrel_soak_tests
if ! KAVREL_SOAK_MIB=$soak_mib ctest --test-dir "$build" -L soak -V >"$out/soak.log" 2>&1; then
  tail -n 60 "$out/soak.log"
  echo "the soak failed" >&2
  exit 1
fi
grep -o 'soak: .*' "$out/soak.log"
sed -n 's/.*KAVREL-FIGURE //p' "$out/soak.log" >>"$figures"
echo "soak done in $((SECONDS - started)) s"
