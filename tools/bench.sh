#!/usr/bin/env bash
# Builds the host64 configuration and runs the benchmarks:
#  - sensor_bench: orvane's own cost per command against a bridge that does
#    nothing, beside the same bridge calls made directly, with their ratio;
#  - tessip_bench: a snapshot delivery and a read of a full buffer beside
#    memcpy of the same size, with their ratio.
# Extra arguments go to both (for example --benchmark_repetitions=5).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset host64 >/dev/null
cmake --build --preset host64 -j "$(nproc)" --target sensor_bench tessip_bench
build/host64/tests/bench/sensor_bench "$@"
build/host64/tests/bench/tessip_bench "$@"
