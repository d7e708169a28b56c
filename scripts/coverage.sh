#!/usr/bin/env bash
# Line and branch coverage of driver/ from the whole test bed suite (the coverage preset: the
# driver alone instrumented for gcov). Prints both reports with every line and branch no test
# reaches, writes build/coverage/coverage.html, and fails below the targets.
#
#   scripts/coverage.sh                 build, run the suite, report
#   COVERAGE_REPORT_ONLY=1 scripts/coverage.sh   report on the counts of the last run
set -euo pipefail
cd "$(dirname "$0")/.."

LINE_TARGET=${LINE_TARGET:-98}
BRANCH_TARGET=${BRANCH_TARGET:-92}
build=build/coverage

if [ "${COVERAGE_REPORT_ONLY:-0}" != 1 ]; then
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage
  # Counts add up across runs: each report is of one run of the suite.
  find "$build" -name '*.gcda' -delete
  ctest --preset coverage
fi

gcovr_args=(--root . --filter 'driver/' --print-summary "$build")
echo "--- driver/ lines (Missing: lines no test runs)"
gcovr "${gcovr_args[@]}" --html-details "$build/coverage.html" --fail-under-line "$LINE_TARGET" >"$build/lines.txt" ||
  status=$?
cat "$build/lines.txt"
echo "--- driver/ branches (Missing: lines with a branch no test takes)"
gcovr "${gcovr_args[@]}" --branches --fail-under-branch "$BRANCH_TARGET" >"$build/branches.txt" || status=$?
cat "$build/branches.txt"
if [ "${status:-0}" != 0 ]; then
  echo "coverage below the targets: lines $LINE_TARGET %, branches $BRANCH_TARGET %" >&2
  exit 1
fi
echo "coverage meets the targets: lines $LINE_TARGET %, branches $BRANCH_TARGET %"
