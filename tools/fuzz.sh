#!/usr/bin/env bash
# Fuzzes tessip and orvane with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer): each target for the given seconds (60 by
# default), starting from the stored corpus in tests/fuzz/corpus and the
# inputs earlier runs found (kept in build/fuzz/corpus). Prints, per target,
# the inputs run, the corpus and the coverage reached; an input that fails
# is saved under build/fuzz/findings and the run fails. Replay one with the
# host build: build/host64/tests/fuzz/<target> <file>.
#
#   tools/fuzz.sh [seconds] [target...]     targets: tessip_fuzz orvane_fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(tessip_fuzz orvane_fuzz)
fi

tools/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

findings=build/fuzz/findings
mkdir -p "$findings"
failed=()
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  log=build/fuzz/$target.log
  echo "== fuzz $target for ${seconds}s"
  if build/fuzz/tests/fuzz/"$target" "$corpus" tests/fuzz/corpus/"$target" \
      -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 -timeout=20 \
      -artifact_prefix="$findings/$target-" -print_final_stats=1 >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed -E 's/.*cov: ([0-9]+).*corp: ([0-9]+).*/\1 edges, corpus of \2 inputs/')
    echo "$target: $runs inputs in ${seconds}s, $coverage"
  else
    echo "$target FAILED; the log is $log, the input under $findings:"
    grep -E 'ERROR|SUMMARY|_fuzz:|fault:' "$log" | head -20
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  exit 1
fi
