#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang-14, ASan and UBSan) and runs them.
#   ./scripts/fuzz.sh                 each target over its corpus and for a short fixed-seed run (ctest -L fuzz)
#   ./scripts/fuzz.sh --long SECONDS  each target for SECONDS from its corpus, then its executions,
#                                     coverage (cov/ft) and crashes; new inputs stay in build/fuzz
#   ./scripts/fuzz.sh --long SECONDS NAME...   only those targets
set -euo pipefail
cd "$(dirname "$0")/.."

targets=(descriptors bulkin requests sequences smf)
long=0
if [ "${1:-}" = "--long" ]; then
  long=${2:?"--long needs a number of seconds"}
  shift 2
  [ $# -gt 0 ] && targets=("$@")
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target $(printf 'fuzz_%s ' "${targets[@]}")

if [ "$long" -eq 0 ]; then
  exec ctest --preset fuzz -L fuzz
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
out=build/fuzz/fuzz
summary=()
failed=0
for t in "${targets[@]}"; do
  found=$out/found/$t
  mkdir -p "$found"
  log=$out/$t-long.log
  max_len=256
  [ "$t" = smf ] && max_len=4096
  echo "=== $t for $long s"
  status=0
  "$out/fuzz_$t" -max_total_time="$long" -timeout=20 -rss_limit_mb=4096 -max_len=$max_len -len_control=0 \
    -print_final_stats=1 -artifact_prefix="$out/$t-" "$found" "fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+) ft: ([0-9]+).*/cov \1 ft \2/p' <<<"$last")
  crashes=$(ls "$out/$t"-crash-* "$out/$t"-timeout-* "$out/$t"-leak-* "$out/$t"-oom-* 2>/dev/null | wc -l)
  line=$(printf '%-12s %8s executions  %-22s crash files: %s  exit %s' "$t" "${execs:-?}" "${cov:-?}" "$crashes" "$status")
  echo "$line"
  summary+=("$line")
  if [ "$status" -ne 0 ]; then
    failed=1
    grep -E 'ERROR|FUZZ FAILURE|VERIFIER|SUMMARY' "$log" | head -5
  fi
done
echo "=== fuzz summary"
printf '  %s\n' "${summary[@]}"
exit $failed
