#!/usr/bin/env bash
# Runs libFuzzer targets one after the other for a fixed time each and prints one line per
# target: executions, coverage (cov: edges, ft: features) and corpus size.
#   scripts/fuzz.sh <fuzz build folder> <seconds per target> [target ...]
# FUZZ_RUNS=<n> also stops a target after n executions.
# The seeds are written afresh by make_corpus; each target's growing corpus is kept in
# <build>/fuzz-corpus/<target> so later runs continue from it. A crash, sanitizer report or
# hang (over 10 s for one input) leaves its input in <build>/fuzz-artifacts/<target>/ and
# makes the script fail; the target's log is <build>/fuzz-logs/<target>.log.
set -euo pipefail

build=${1:?usage: scripts/fuzz.sh <fuzz build folder> <seconds per target> [target ...]}
seconds=${2:?usage: scripts/fuzz.sh <fuzz build folder> <seconds per target> [target ...]}
shift 2
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(load_image to_gray_double export engine interpolation guided)
fi

bin="$build/tests/fuzz"
seeds="$build/fuzz-seeds"
rm -rf "$seeds"
"$bin/make_corpus" "$seeds" >/dev/null 2>&1

limits=(-max_total_time="$seconds")
[ -n "${FUZZ_RUNS:-}" ] && limits+=(-runs="$FUZZ_RUNS")

failed=0
printf '%-16s %10s %8s %8s %10s  %s\n' target executions cov ft corpus result
for target in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$target"
  artifacts="$build/fuzz-artifacts/$target"
  log="$build/fuzz-logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  mkdir -p "$seeds/$target"
  result=ok
  # One thread per run: the engine's OpenMP passes would otherwise take both shared cores.
  OMP_NUM_THREADS=1 \
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    nice -n 10 "$bin/fuzz_$target" "${limits[@]}" -timeout=10 -rss_limit_mb=4096 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$seeds/$target" \
      >"$log" 2>&1 || { result="FAILED (see $log)"; failed=1; }
  executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  size=$(sed -n 's/.*corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$last")
  printf '%-16s %10s %8s %8s %10s  %s\n' "$target" "${executions:-?}" "${cov:-?}" "${ft:-?}" \
    "${size:-?}" "$result"
done
exit "$failed"
