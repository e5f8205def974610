#!/usr/bin/env bash
# The main job: sets up the machine, builds what it needs (the camera
# simulator on the host, and the driver images with their packages for both
# widths; not the sanitized or 32-bit host configurations), lists the
# images, and plays the camera simulator's default scenario.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
jobs=$(nproc)
echo "== build host64: camera_sim"
cmake --preset host64 >/dev/null
cmake --build --preset host64 --target camera_sim -j "$jobs" >/dev/null
for preset in kernel-x86 kernel-x64; do
  echo "== build $preset: driver images (orvane, tessip, bridge) and package"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target driver_package bridge -j "$jobs" >/dev/null
done
echo "== driver images"
find build/kernel-x86 build/kernel-x64 -maxdepth 3 -name '*.sys' | sort | xargs ls -l
echo "== driver packages (test-signed images and INF)"
ls -l build/package/x86 build/package/x64
echo "== camera simulation"
out=build/camera_sim
build/host64/tools/camera_sim/camera_sim --out "$out"
echo "== outputs of the camera simulation in $out (build/host64/tools/camera_sim/camera_sim --help for more)"
ls -l "$out"
