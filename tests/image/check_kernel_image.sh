#!/usr/bin/env bash
# Reads a linked kernel driver image and fails, naming each fault, unless it
# is what the kernel loader and the driver's own placement rules expect:
#   - native subsystem (1), not a DLL, entry point at DriverEntry;
#   - imports from ntoskrnl.exe and hal.dll only;
#   - INIT discardable (the entry routine is dropped after loading), PAGE and
#     .text not, and a checksum that matches the bytes;
#   - code only in .text (resident), PAGE (pageable) and INIT;
#   - each routine listed under PAGE in PAGE, under INIT in INIT, under
#     RESIDENT in .text, and nothing unlisted in PAGE or INIT: pageable code
#     that runs at DISPATCH_LEVEL is a bug check waiting for a page fault;
#   - on i686, each routine listed under STDCALL pops exactly its argument
#     bytes: a dispatch or completion routine that pops the wrong amount
#     corrupts the I/O manager's stack.
#
# usage: check_kernel_image.sh <objdump> <x86|x64> <image>
#            PAGE <routine>... INIT <routine>... RESIDENT <routine>...
#            STDCALL <routine>=<bytes>...
set -uo pipefail
objdump=$1 arch=$2 image=$3
shift 3

declare -a page=() init=() resident=() stdcall=()
list=
for word in "$@"; do
  case $word in
    PAGE|INIT|RESIDENT|STDCALL) list=$word ;;
    *) case $list in
         PAGE) page+=("$word") ;;
         INIT) init+=("$word") ;;
         RESIDENT) resident+=("$word") ;;
         STDCALL) stdcall+=("$word") ;;
         *) echo "usage error: '$word' outside a list"; exit 2 ;;
       esac ;;
  esac
done

status=0
fail() { echo "FAIL: $*"; status=1; }
ok() { echo "ok: $*"; }

if [ ! -f "$image" ]; then
  echo "FAIL: no image at $image"
  exit 1
fi

headers=$("$objdump" -p "$image") || { echo "FAIL: objdump cannot read $image"; exit 1; }

# --- File and optional header -------------------------------------------------
subsystem=$(awk '$1 == "Subsystem" { print $2 }' <<<"$headers")
if [ "$subsystem" = "00000001" ]; then ok "subsystem is native"
else fail "subsystem is ${subsystem:-missing}, should be 00000001 (native)"; fi

if grep -qE '^[[:space:]]+DLL$' <<<"$headers"; then
  fail "the image is marked as a DLL (linked with -shared?)"
else ok "not a DLL"; fi

mapfile -t dlls < <(sed -nE 's/^[[:space:]]*DLL Name: (.*)$/\1/p' <<<"$headers")
for dll in "${dlls[@]}"; do
  case ${dll,,} in
    ntoskrnl.exe|hal.dll) ok "imports from $dll" ;;
    *) fail "imports from $dll; a driver may import only from ntoskrnl.exe and hal.dll" ;;
  esac
done

# --- Raw headers: objdump shows neither DISCARDABLE nor a stale checksum -------
u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
pe=$(u32 "$image" 60)

# The PE checksum: 16-bit words summed with end-around carry, the checksum
# field itself left out, plus the file length. Editing a section header
# without redoing it leaves an image the loader rejects.
checksum_at=$((pe + 24 + 64))
stored=$(u32 "$image" "$checksum_at")
computed=$(od -An -v -tu2 -w2 "$image" | awk -v skip=$((checksum_at / 2)) -v size="$(stat -c %s "$image")" '
    NR - 1 != skip && NR - 1 != skip + 1 { sum += $1; sum = sum % 65536 + int(sum / 65536) }
    END { print sum % 65536 + int(sum / 65536) + size }')
if [ "$stored" = "$computed" ]; then ok "checksum matches"
else fail "$(printf 'checksum is 0x%08x, should be 0x%08x' "$stored" "$computed")"; fi
count=$(u16 "$image" $((pe + 6)))
table=$((pe + 24 + $(u16 "$image" $((pe + 20)))))
declare -A flags=()
for ((i = 0; i < count; i++)); do
  header=$((table + 40 * i))
  name=$(dd if="$image" bs=1 skip="$header" count=8 2>/dev/null | tr -d '\0')
  flags[$name]=$(u32 "$image" $((header + 36)))
done

is_code() { (( ${flags[$1]} & 0x20 )); }
is_discardable() { (( ${flags[$1]} & 0x02000000 )); }

for section in "${!flags[@]}"; do
  case $section in
    .text|PAGE|INIT) ;;
    *) if is_code "$section"; then fail "code section $section; code belongs in .text, PAGE or INIT"; fi ;;
  esac
done
if [ -n "${flags[INIT]:-}" ]; then
  if is_discardable INIT; then ok "INIT is discardable"
  else fail "INIT is not discardable (flags $(printf 0x%08x "${flags[INIT]}"))"; fi
fi
for section in .text PAGE; do
  if [ -n "${flags[$section]:-}" ] && is_discardable "$section"; then
    fail "$section is discardable"
  fi
done

# --- Where each routine lives --------------------------------------------------
disassembly=$("$objdump" -d --no-show-raw-insn "$image")

# Undecorated name of a label: _Name@8 -> Name on i686, and compiler clones
# (Name.cold, Name.isra.0, Name.part.0) count as the routine they came from.
undecorate() {
  local name=$1
  if [ "$arch" = x86 ]; then name=${name#_}; fi
  name=${name%%@*}
  printf '%s' "${name%%.*}"
}

declare -A where=()   # routine -> space-separated sections holding it
declare -A address=() # routine -> address of its main label
section=
while IFS= read -r line; do
  if [[ $line =~ ^Disassembly\ of\ section\ (.*):$ ]]; then
    section=${BASH_REMATCH[1]}
  elif [[ $line =~ ^([0-9a-f]+)\ \<(.*)\>:$ ]]; then
    label=${BASH_REMATCH[2]}
    routine=$(undecorate "$label")
    [ -n "$routine" ] || routine=$label   # section-start labels such as <.ctors>
    case " ${where[$routine]:-} " in *" $section "*) ;; *) where[$routine]+=" $section" ;; esac
    if [[ $label != *.* ]]; then address[$routine]=${BASH_REMATCH[1]}; fi
  fi
done <<<"$disassembly"

expect_in() {
  local section=$1 routine=$2
  local found=${where[$routine]:-}
  if [ -z "$found" ]; then fail "$routine not found in the image"; return; fi
  if [ "$found" = " $section" ]; then ok "$routine in $section"
  else fail "$routine should be in $section, found in:$found"; fi
}
for routine in "${page[@]}"; do expect_in PAGE "$routine"; done
for routine in "${init[@]}"; do expect_in INIT "$routine"; done
for routine in "${resident[@]}"; do expect_in .text "$routine"; done

# Nothing may be pageable or discarded unless it was asked for.
for routine in "${!where[@]}"; do
  for section in ${where[$routine]}; do
    case $section in
      PAGE) [[ " ${page[*]} " == *" $routine "* ]] || fail "$routine is in PAGE but should be resident" ;;
      INIT) [[ " ${init[*]} " == *" $routine "* ]] || fail "$routine is in INIT but should be resident" ;;
    esac
  done
done

# The entry point is DriverEntry itself.
entry=$(awk '$1 == "AddressOfEntryPoint" { print $2 }' <<<"$headers")
base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$headers")
if [ -z "${address[DriverEntry]:-}" ]; then
  fail "DriverEntry not found in the image"
elif (( 16#$entry + 16#$base == 16#${address[DriverEntry]} )); then
  ok "entry point is DriverEntry"
else
  fail "entry point $entry is not DriverEntry (at ${address[DriverEntry]})"
fi

# Nothing runs a driver's static constructors: the linker's constructor list
# must hold only its two terminators.
ctors=$(sed -nE 's/^([0-9a-f]+) <_*CTOR_LIST__>:$/\1/p' <<<"$disassembly")
dtors=$(sed -nE 's/^([0-9a-f]+) <_*DTOR_LIST__>:$/\1/p' <<<"$disassembly")
pointer=$([ "$arch" = x86 ] && echo 4 || echo 8)
if [ -n "$ctors" ] && [ -n "$dtors" ] && (( 16#$dtors - 16#$ctors > 2 * pointer )); then
  fail "the image has static constructors, which the kernel never runs"
fi

# --- Argument bytes popped (i686 stdcall) ---------------------------------------
if [ "$arch" = x86 ] && [ ${#stdcall[@]} -gt 0 ]; then
  bash "$(dirname "$0")/check_entry_pops.sh" "$objdump" "$image" "${stdcall[@]}" || status=1
fi

exit $status
