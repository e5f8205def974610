#!/usr/bin/env bash
# Fails when the sensor library refers to any symbol it does not define
# itself. The command path must not allocate, lock or wait, and the kernel
# image links the same code against ntoskrnl alone: a reference to malloc,
# operator new, a mutex, a sleep or any other library routine shows up here
# as an unresolved name. Only what the toolchain and the sanitizers add is
# allowed, and any further names given after the library.
#
# usage: check_self_contained.sh <nm> <library> [allowed name...]
set -euo pipefail
nm=$1
library=$2
shift 2
allowed=$(printf '%s\n' "$@")
undefined=$(mktemp)
defined=$(mktemp)
trap 'rm -f "$undefined" "$defined"' EXIT
"$nm" -u "$library" | awk 'NF == 2 { print $2 }' | sort -u > "$undefined"
"$nm" -g --defined-only "$library" | awk 'NF == 3 { print $3 }' | sort -u > "$defined"
outside=$(comm -23 "$undefined" "$defined" |
          grep -vE '^(_GLOBAL_OFFSET_TABLE_|__x86\.get_pc_thunk\..*|__(asan|ubsan|tsan|sanitizer)_.*)$' |
          grep -vxF -e "$allowed" || true)
if [ -n "$outside" ]; then
  echo "FAIL: $library refers to routines outside itself:"
  echo "$outside"
  exit 1
fi
echo "ok: $library is self-contained"
