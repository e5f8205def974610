#!/usr/bin/env bash
# Sets up the machine, builds every configuration and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
presets=(host64 host32 asan tsan kernel-x86 kernel-x64)
tools/build.sh "${presets[@]}"
failed=()
if ! tools/analyze.sh; then
  failed+=(analyze)
fi
if ! tools/fuzz.sh 30; then
  failed+=(fuzz)
fi
not_run=()
for preset in "${presets[@]}"; do
  if [ "$preset" = host32 ] && ! tools/run32.sh >/dev/null 2>&1; then
    echo "== test $preset: NOT RUN, this machine cannot start 32-bit programs"
    not_run+=("$preset")
    continue
  fi
  echo "== test $preset"
  if ! ctest --preset "$preset" -j "$(nproc)"; then
    failed+=("$preset")
  fi
done
if ! tools/wine_proof.sh; then
  failed+=(wine)
fi
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED in: ${failed[*]}"
  exit 1
fi
if [ ${#not_run[@]} -ne 0 ]; then
  echo "Tests NOT RUN in: ${not_run[*]}"
fi
echo "All tests passed in: ${presets[*]}, analysis, fuzzing and the Wine proof"
