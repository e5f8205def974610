#!/usr/bin/env bash
# Configures and builds the given presets (all of them by default).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
if [ ${#presets[@]} -eq 0 ]; then
  presets=(host64 host32 asan tsan kernel-x86 kernel-x64)
fi
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
