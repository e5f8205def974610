#!/usr/bin/env bash
# Reads the i686 disassembly of the sensor-control entry points and fails
# unless each pops exactly the bytes of the arguments the bridge driver pushes:
# a stdcall routine that pops too few or too many corrupts the caller's stack.
set -euo pipefail
objdump=$1
object=$2
disassembly=$(mktemp)
trap 'rm -f "$disassembly"' EXIT
"$objdump" -d --no-show-raw-insn "$object" > "$disassembly"

# routine -> expected bytes popped
declare -A expected=(
  [ProbeSensor]=16 [Probe1]=24 [Probe2]=16 [Probe3]=16 [Probe4]=16
  [Command0]=4 [Command1]=4 [Command2]=4 [Command3]=4 [Command4]=4
)

status=0
for routine in "${!expected[@]}"; do
  want=${expected[$routine]}
  # stdcall symbols carry their argument bytes (_Name@N); the test reads the
  # instructions rather than trusting the decoration.
  body=$(awk -v name="$routine" '
      /^[0-9a-f]+ <.*>:$/ { inside = ($0 ~ ("<_" name "@[0-9]+>:")); next }
      /^$/ { inside = 0 }
      inside { print }' "$disassembly")
  if [ -z "$body" ]; then
    echo "FAIL: $routine not found in $object"
    status=1
    continue
  fi
  pops=$(grep -oE 'ret[l]? +\$0x[0-9a-f]+' <<<"$body" | sed -E 's/.*\$0x//' | sort -u)
  plain=$(grep -cE 'ret[l]?\s*$' <<<"$body" || true)
  if [ "$plain" != "0" ] || [ -z "$pops" ] || [ "$(wc -l <<<"$pops")" != "1" ] || [ $((16#$pops)) != "$want" ]; then
    echo "FAIL: $routine should pop $want bytes; returns seen: ${pops:-none} (plain ret: $plain)"
    status=1
  else
    echo "ok: $routine pops $want bytes"
  fi
done
exit $status
