#!/usr/bin/env bash
# Reads the i686 disassembly of stdcall routines and fails unless each pops
# exactly the bytes of the arguments its caller pushes: a routine that pops
# too few or too many corrupts the caller's stack.
#
# usage: check_entry_pops.sh <objdump> <object or image> <routine>=<bytes>...
set -euo pipefail
objdump=$1
object=$2
shift 2
disassembly=$(mktemp)
trap 'rm -f "$disassembly"' EXIT
"$objdump" -d --no-show-raw-insn "$object" > "$disassembly"

status=0
for pair in "$@"; do
  routine=${pair%%=*} want=${pair#*=}
  # stdcall symbols carry their argument bytes (_Name@N); the test reads the
  # instructions rather than trusting the decoration.
  body=$(awk -v name="$routine" '
      /^[0-9a-f]+ <.*>:$/ { inside = ($0 ~ ("<_" name "@[0-9]+>:$")); next }
      /^$/ { inside = 0 }
      inside { print }' "$disassembly")
  if [ -z "$body" ]; then
    echo "FAIL: $routine: no stdcall routine _$routine@N in $object"
    status=1
    continue
  fi
  pops=$(grep -oE 'ret[l]? +\$0x[0-9a-f]+' <<<"$body" | sed -E 's/.*\$0x//' | sort -u)
  plain=$(grep -cE 'ret[l]?[[:space:]]*$' <<<"$body" || true)
  if [ "$plain" != "0" ] || [ -z "$pops" ] || [ "$(wc -l <<<"$pops")" != "1" ] || [ $((16#$pops)) != "$want" ]; then
    echo "FAIL: $routine should pop $want bytes; returns seen: ${pops:-none} (plain ret: $plain)"
    status=1
  else
    echo "ok: $routine pops $want bytes"
  fi
done
exit $status
