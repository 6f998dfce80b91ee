#!/usr/bin/env bash
# Builds the Release preset and runs every benchmark in bench/, then prints
# one summary: each program's "summary:" lines, with the date, the commit and
# the machine's load when the run began. Not part of CI: the figures are
# only comparable as ratios within one run, on a quiet machine.
#
#   bash scripts/bench-all.sh [--quick]     (--quick: a short smoke run)
#
# The full output of each program is kept in build/release/bench-logs/.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=()
case "${1:-}" in
  "") ;;
  --quick) quick=(--quick) ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

cmake --preset release >/dev/null
cmake --build --preset release

bin=build/release/bench
logs=build/release/bench-logs
mkdir -p "$logs"

benchmarks=(kavrel_notify_latency kavrel_small_writes kavrel_many_ports kavrel_port_memory
            kavrel_throughput kavrel_network_port)
started="$(date -u '+%Y-%m-%d %H:%M UTC')"
commit="$(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src include || echo ' (with local changes)')"
load="$(cut -d' ' -f1-3 /proc/loadavg)"

failed=()
for benchmark in "${benchmarks[@]}"; do
  printf '\n=== %s %s\n' "$benchmark" "${quick[*]}"
  # The library's texts go to stderr; the figures to stdout and the log.
  if ! "$bin/$benchmark" "${quick[@]}" | tee "$logs/$benchmark.txt"; then
    failed+=("$benchmark")
  fi
done

printf '\n=== summary: %s, commit %s, %s cores, load %s%s\n' "$started" "$commit" "$(nproc)" \
  "$load" "${quick:+ (quick run)}"
for benchmark in "${benchmarks[@]}"; do
  grep '^summary: ' "$logs/$benchmark.txt" | sed 's/^summary: /  /' || true
done
if ((${#failed[@]} > 0)); then
  printf 'FAILED: %s\n' "${failed[*]}" >&2
  exit 1
fi
