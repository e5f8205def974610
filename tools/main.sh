#!/usr/bin/env bash
# Sets up the machine, builds every configuration, lists the driver images,
# and runs the camera simulation: orvane and tessip on a simulated camera's
# device stack, with the bridge driver streaming scenes and an application
# taking a still image (written to build/still.ppm).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
echo "== driver images"
find build/kernel-x86 build/kernel-x64 -maxdepth 3 -name '*.sys' | sort | xargs ls -l
echo "== driver packages (test-signed images and INF)"
ls -l build/package/x86 build/package/x64
echo "== camera simulation"
build/host64/tools/camera_sim/camera_sim --out build/still.ppm
