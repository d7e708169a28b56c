#!/usr/bin/env bash
# Builds and runs every suite: the test bed under the verifier (dev), with AddressSanitizer and
# UndefinedBehaviorSanitizer (asan), with ThreadSanitizer (tsan), then the Windows images.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
start=$(date +%s)
for preset in dev asan tsan; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
if [ -x scripts/test-windows.sh ]; then
  echo "=== windows"
  ./scripts/test-windows.sh
fi
echo "=== all suites passed in $(( $(date +%s) - start )) s"
