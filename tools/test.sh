#!/usr/bin/env bash
# Sets up the machine, builds every configuration and runs every test in
# each, then prints the seconds each step took.
set -euo pipefail
cd "$(dirname "$0")/.."

step_names=()
step_seconds=()
failed=()
not_run=()

# Runs one step and times it; its exit status is the step's.
step() {
  local name=$1 start=$SECONDS status=0
  shift
  "$@" || status=$?
  step_names+=("$name")
  step_seconds+=($((SECONDS - start)))
  return $status
}

print_steps() {
  local i total=0
  echo "== seconds per step"
  for i in "${!step_names[@]}"; do
    printf '%6d  %s\n' "${step_seconds[$i]}" "${step_names[$i]}"
    total=$((total + step_seconds[i]))
  done
  printf '%6d  %s\n' "$total" "in all"
}
trap print_steps EXIT

step setup tools/setup.sh
presets=(host64 host32 asan tsan kernel-x86 kernel-x64)
for preset in "${presets[@]}"; do
  step "build $preset" tools/build.sh "$preset"
done
step analysis tools/analyze.sh || failed+=(analyze)
step fuzzing tools/fuzz.sh 10 || failed+=(fuzz)
for preset in "${presets[@]}"; do
  if [ "$preset" = host32 ] && ! tools/run32.sh >/dev/null 2>&1; then
    echo "== test $preset: NOT RUN, this machine cannot start 32-bit programs"
    not_run+=("$preset")
    continue
  fi
  echo "== test $preset"
  step "test $preset" ctest --preset "$preset" -j "$(nproc)" || failed+=("$preset")
done
# The host suite once more with a bus that pends every Plug and Play and
# power request and completes it later from another thread.
echo "== test host64, pending bus"
HOST_KERNEL_PENDING_BUS=1 step "test host64, pending bus" ctest --preset host64 -j "$(nproc)" ||
  failed+=("host64 pending bus")
step "wine proof" tools/wine_proof.sh || failed+=(wine)
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED in: ${failed[*]}"
  exit 1
fi
if [ ${#not_run[@]} -ne 0 ]; then
  echo "Tests NOT RUN in: ${not_run[*]}"
  if [ "${CAMERA_CI:-}" = 1 ]; then
    echo "FAILED: in CI every configuration must run"
    exit 1
  fi
fi
echo "All tests passed in: ${presets[*]}, analysis, fuzzing and the Wine proof"
