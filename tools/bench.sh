#!/usr/bin/env bash
# Builds the host64 configuration and runs the sensor-control benchmark:
# orvane's own cost per command against a bridge that does nothing, beside the
# same bridge calls made directly, with their ratio. Extra arguments go to the
# benchmark (for example --benchmark_repetitions=5 --benchmark_filter=cmd14).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset host64 >/dev/null
cmake --build --preset host64 -j "$(nproc)" --target sensor_bench
exec build/host64/tests/bench/sensor_bench "$@"
