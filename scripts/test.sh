#!/usr/bin/env bash
# Builds and runs every suite: the test bed under the verifier (dev), with AddressSanitizer and
# UndefinedBehaviorSanitizer (asan), with ThreadSanitizer (tsan), with the driver's coverage
# measured (coverage), the Windows images (windows), then the static analysis of driver/ as both
# platforms compile it (analysis). Prints each stage's time, and all of them at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=()
times=()
start=$SECONDS
summary() {
  local status=$?
  echo "=== stage times"
  for i in "${!stages[@]}"; do printf '  %-9s %5d s\n' "${stages[$i]}" "${times[$i]}"; done
  printf '  %-9s %5d s\n' total $((SECONDS - start))
  [ $status -eq 0 ] || echo "=== FAILED in stage ${current:-install}"
}
trap summary EXIT

# stage NAME COMMAND...: runs one stage and records its time.
stage() {
  current=$1
  shift
  echo "=== $current"
  local t=$SECONDS
  "$@"
  stages+=("$current")
  times+=($((SECONDS - t)))
  echo "=== $current passed in $((SECONDS - t)) s"
}

suite() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

stage install ./scripts/install-deps.sh
stage dev suite dev
# The dev build again, every request to the test bed's own drivers pended or not by a fixed seed.
stage pending ctest --preset dev-pending
stage asan suite asan
stage fuzz ./scripts/fuzz.sh
stage tsan suite tsan
stage coverage ./scripts/coverage.sh
if [ -x scripts/test-windows.sh ]; then
  stage windows ./scripts/test-windows.sh
  # The Windows build's compile commands come from the windows stage.
  stage analysis ./scripts/analyze.py --require-windows
else
  stage analysis ./scripts/analyze.py
fi
echo "=== all suites passed in $((SECONDS - start)) s"
