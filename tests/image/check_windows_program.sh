#!/usr/bin/env bash
# Reads a linked Windows console program and fails, naming each fault, unless
# it runs on a bare Windows (or Wine) as it is:
#   - console subsystem (3), not a DLL;
#   - imports only from KERNEL32.dll, msvcrt.dll (both part of Windows) and
#     the system DLLs named on the command line; a MinGW runtime DLL
#     (libstdc++-6.dll, libgcc_s_*.dll, libwinpthread-1.dll) would have to be
#     shipped beside the program.
#
# usage: check_windows_program.sh <objdump> <program.exe> [<allowed DLL>...]
set -uo pipefail
objdump=$1 program=$2
shift 2
allowed=(kernel32.dll msvcrt.dll)
for dll in "$@"; do allowed+=("${dll,,}"); done

status=0
fail() { echo "FAIL: $*"; status=1; }
ok() { echo "ok: $*"; }

if [ ! -f "$program" ]; then
  echo "FAIL: no program at $program"
  exit 1
fi
headers=$("$objdump" -p "$program") || { echo "FAIL: objdump cannot read $program"; exit 1; }

subsystem=$(awk '$1 == "Subsystem" { print $2 }' <<<"$headers")
if [ "$subsystem" = "00000003" ]; then ok "subsystem is console"
else fail "subsystem is ${subsystem:-missing}, should be 00000003 (console)"; fi

if grep -qE '^[[:space:]]+DLL$' <<<"$headers"; then fail "the program is marked as a DLL"
else ok "not a DLL"; fi

mapfile -t dlls < <(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$headers")
for dll in "${dlls[@]}"; do
  if [[ " ${allowed[*]} " == *" ${dll,,} "* ]]; then ok "imports from $dll"
  else fail "imports from $dll, which is not among: ${allowed[*]}"; fi
done
exit $status
