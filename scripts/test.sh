#!/usr/bin/env bash
# Builds and runs every test:
#   1. the unit suites under the default (Debug) build, the address and
#      undefined-behaviour sanitizers, and the thread sanitizer;
#   2. the installed package: examples built against it, the .deb;
#   3. Kavrel.dll cross-built for Windows, its suite run under Wine;
#   4. reliability: fuzz targets for a short while and a bounded soak.
# Needs the packages scripts/install-deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in default asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}"
  cmake --build --preset "${preset}"
  ctest --preset "${preset}"
done

echo "=== installed package and examples ==="
bash scripts/check-examples.sh

echo "=== Windows under Wine ==="
bash scripts/wine-tests.sh

if [[ -f scripts/reliability-ci.sh ]]; then
  echo "=== reliability ==="
  bash scripts/reliability-ci.sh
fi
