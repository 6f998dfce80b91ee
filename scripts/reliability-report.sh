#!/usr/bin/env bash
# Reruns every reliability check and writes what was tried, with its figures,
# into docs/reliability.md (between its "figures" markers), so anyone can
# reproduce the table:
#   - scripts/reliability-ci.sh: each fuzz target under libFuzzer, then the
#     soak, here with longer runs (KAVREL_FUZZ_SECONDS, default 300 per
#     target; KAVREL_SOAK_MIB, default 256 each way);
#   - the saved fuzz corpora replayed, and the fault-injection, bad-input and
#     leak-accounting tests, with what they injected and counted.
# The table is written in every case; the script then fails if anything did.
set -euo pipefail
cd "$(dirname "$0")/.."

export KAVREL_FUZZ_SECONDS=${KAVREL_FUZZ_SECONDS:-300}
export KAVREL_SOAK_MIB=${KAVREL_SOAK_MIB:-256}
bash scripts/reliability-ci.sh

out=build/reliability
figures=$out/figures.txt
build=build/rel-soak
doc=docs/reliability.md
targets=(settings dcb_termios device_name)
failures=0

replays=()
for target in "${targets[@]}"; do replays+=("kavrel_fuzz_${target}_replay"); done
cmake --build "$build" -j 2 --target kavrel_reliability_tests "${replays[@]}"

echo "=== saved fuzz corpora ==="
for target in "${targets[@]}"; do
  log=$out/replay-$target.log
  if "$build/tests/fuzz/kavrel_fuzz_${target}_replay" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    replayed=$(sed -n 's/^replayed \([0-9]*\) inputs$/\1/p' "$log")
  else
    tail -n 20 "$log"
    replayed=0
    failures=$((failures + 1))
  fi
  echo "$target: $replayed inputs replayed"
  echo "corpus_${target}_inputs=$replayed" >>"$figures"
done

echo "=== fault injection, bad input, leak accounting ==="
log=$out/reliability.log
if ! "$build/tests/reliability/kavrel_reliability_tests" >"$log" 2>&1; then
  grep -E '^\[  FAILED  \]' "$log" || tail -n 40 "$log"
  failures=$((failures + 1))
fi
sed -n 's/^KAVREL-FIGURE //p' "$log" >>"$figures"
passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\.$/\1/p' "$log")
total=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$log")
echo "reliability_tests_passed=${passed:-0}" >>"$figures"
echo "reliability_tests_run=${total:-0}" >>"$figures"
echo "${passed:-0} of ${total:-0} passed"

echo "=== the kernel's own loss at a pty hang-up, plain reader ==="
c++ -O2 -std=c++17 -pthread bench/hangup_loss.cpp -o "$out/kavrel_hangup_loss"
if "$out/kavrel_hangup_loss" 400 >"$out/hangup-loss.log" 2>&1; then
  cat "$out/hangup-loss.log"
else
  cat "$out/hangup-loss.log"
  failures=$((failures + 1))
fi
sed -n 's/^KAVREL-FIGURE //p' "$out/hangup-loss.log" >>"$figures"

# A figure by name (summed if several runs reported it), and with its digits
# grouped.
value() { awk -F= -v name="$1" '$1 == name { sum += $2 } END { print sum + 0 }' "$figures"; }
grouped() { echo "$1" | sed -e ':a' -e 's/\([0-9]\)\([0-9]\{3\}\)\($\|,\)/\1,\2\3/' -e 'ta'; }

soak_bytes=$(value soak_bytes_each_way)
commit=$(git rev-parse --short HEAD)
git diff --quiet HEAD -- src include tests || commit="$commit with uncommitted changes"
soak_seconds=$(awk -v ms="$(value soak_milliseconds)" 'BEGIN { printf "%.1f", ms / 1000 }')
table=$(mktemp)
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') at commit ${commit}" \
    "on $(uname -sr), $(nproc) cores, $(c++ --version | head -n 1)."
  echo
  echo "| What was tried | Figure |"
  echo "|---|---|"
  echo "| Soak: bytes through a pty pair, each way at once, every byte checked | $(grouped "$soak_bytes") ($((soak_bytes >> 20)) MiB) in ${soak_seconds} s |"
  echo "| Soak: blocks written (1 byte to 256 KiB) / deliveries read (ReadSerial + ReadSerial2) | $(grouped "$(value soak_writeserial_calls)") / $(grouped "$(value soak_readserial_calls)") + $(grouped "$(value soak_readserial2_calls)") |"
  echo "| Soak: notifications / listener restarts with new timings / peer pauses | $(grouped "$(value soak_notifications)") / $(value soak_listener_restarts) / $(grouped "$(value soak_peer_pauses)") |"
  echo "| Soak: most bytes ever waiting in the input queue (queue: 409,600) | $(grouped "$(value soak_most_bytes_queued)") |"
  echo "| Faults injected: hang-ups, vanished devices, raced closes, slow or re-entrant host handlers, refused events and threads | $(grouped "$(value faults_injected)") |"
  echo "| Bad-input rows, each with its documented result | $(grouped "$(value bad_input_rows)") |"
  for target in "${targets[@]}"; do
    echo "| Fuzzing ${target//_/ }: inputs run under libFuzzer (address + undefined sanitizers) | $(grouped "$(value "fuzz_${target}_inputs")") in $(value "fuzz_${target}_seconds") s |"
  done
  echo "| Saved fuzz inputs replayed (settings + dcb termios + device name) | $(value corpus_settings_inputs) + $(value corpus_dcb_termios_inputs) + $(value corpus_device_name_inputs) |"
  echo "| Open/close cycles counted, nothing left behind | $(grouped "$(value cycles_open_close)") |"
  echo "| Listen/stop cycles counted, nothing left behind | $(grouped "$(value cycles_listen_stop)") |"
  echo "| Failed opens counted, nothing left behind | $(grouped "$(value cycles_failed_open)") |"
  echo "| A pty hangs up under a plain reader (no Kavrel): most bytes the kernel dropped in $(value hangup_kernel_loss_rounds) rounds (bench/hangup_loss.cpp) | $(grouped "$(value hangup_kernel_loss_most)") |"
  echo "| Reliability tests passed | $(value reliability_tests_passed) of $(value reliability_tests_run) |"
} >"$table"

# Replace what lies between the markers, keeping the markers.
awk -v table="$table" '
  /<!-- figures:begin/ { print; while ((getline line < table) > 0) print line; skipping = 1; next }
  /<!-- figures:end/ { skipping = 0 }
  !skipping { print }
' "$doc" >"$doc.new"
mv "$doc.new" "$doc"
rm -f "$table"
echo "figures written to $doc"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
