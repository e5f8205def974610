#!/usr/bin/env bash
# Sets up the machine, builds every configuration and lists what was built.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
tools/build.sh
echo "== built"
find build -maxdepth 3 -type f \( -name '*.sys' -o -name '*.a' -o -perm -u+x \) \
  -not -path '*/CMakeFiles/*' -not -path '*/googletest/*' | sort
