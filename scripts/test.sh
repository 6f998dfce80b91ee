#!/usr/bin/env bash
# Builds and runs every test: the default (Debug) build, then the address and
# undefined-behaviour sanitizers, then the thread sanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in default asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}"
  cmake --build --preset "${preset}"
  ctest --preset "${preset}"
done
