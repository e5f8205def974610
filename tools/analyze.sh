#!/usr/bin/env bash
# Static analysis of the drivers: clang-tidy with the checks in .clang-tidy
# (among them the clang static analyzer's) over every .cpp of the drivers and
# the camera (sensor/, filter/, snapshot/, bridge/, camera/, wdm/), for both widths and
# against both sets of headers the sources are compiled with:
#   kernel-x64, kernel-x86  the MinGW-w64 DDK headers the images are built with,
#                           as x86_64-w64-windows-gnu and i686-w64-windows-gnu;
#   host64, host32          the user-mode kernel's headers, x86-64 and x86 (-m32).
# Each configuration is configured (not built) for its compile commands.
# Exits non-zero on any finding, on a source no configuration compiles, or on
# a source clang cannot parse. Logs are kept in build/analyze/.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
root=$PWD
tidy=${CLANG_TIDY:-clang-tidy-14}
# The DDK translation units take the longest; they go first so that the
# workers finish together.
presets=(kernel-x64 kernel-x86 host64 host32)
driver_folders=(sensor filter snapshot bridge camera wdm)
# The bridge driver's host configuration hook is not driver code.
host_only=(bridge/bridge_host.cpp)
logs=build/analyze
start=$SECONDS

rm -rf "$logs"
mkdir -p "$logs"
jobs_file=$logs/jobs
: >"$jobs_file"

for preset in "${presets[@]}"; do
  cmake --preset "$preset" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
  # The drivers' sources as the drivers build them: a test's instrumented
  # copy of a driver source (gcc's -finstrument-functions options, which
  # clang does not know) is left out.
  mkdir -p "$logs/db/$preset"
  awk '/^\{$/ { entry = $0; next }
       /^\},?$/ { if (entry !~ /-finstrument-functions/) kept[n++] = entry "\n}"; entry = ""; next }
       entry != "" { entry = entry "\n" $0 }
       END { print "["; for (i = 0; i < n; i++) print kept[i] (i < n - 1 ? "," : ""); print "]" }' \
    "build/$preset/compile_commands.json" >"$logs/db/$preset/compile_commands.json"
  sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$logs/db/$preset/compile_commands.json" | sort -u |
    while read -r file; do
      source=${file#"$root"/}
      case " ${host_only[*]} " in *" $source "*) continue ;; esac
      case " ${driver_folders[*]} " in *" ${source%%/*} "*)
        echo "$preset $source" ;;
      esac
    done >>"$jobs_file"
done

# A source that no configuration compiles would go unchecked.
uncovered=0
while read -r source; do
  if ! grep -q " $source\$" "$jobs_file"; then
    echo "not in any configuration's compile commands: $source"
    uncovered=1
  fi
done < <(find "${driver_folders[@]}" -name '*.cpp' | grep -vxF -f <(printf '%s\n' "${host_only[@]}") | sort)

analyze_one() {
  local preset=$1 source=$2 extra=()
  local log=$logs/$preset/$source.log
  # The compile commands name the cross compiler, from which clang takes the
  # target. Its MinGW driver would also put /usr/include (the Linux C library)
  # on the search path, since the cross compiler lives in /usr/bin; with the
  # MinGW-w64 sysroot the path is what gcc searches: the DDK, the compiler's
  # own headers and the MinGW-w64 C headers.
  case "$preset" in
    kernel-x86) extra=(--extra-arg=--sysroot=/usr/i686-w64-mingw32) ;;
    kernel-x64) extra=(--extra-arg=--sysroot=/usr/x86_64-w64-mingw32) ;;
  esac
  mkdir -p "$(dirname "$log")"
  if ! "$tidy" --quiet -p "$logs/db/$preset" "${extra[@]}" "$source" >"$log" 2>&1; then
    echo "$preset $source" >"$log.failed"
  fi
}
export -f analyze_one
export tidy logs

echo "== analyze: $(wc -l <"$jobs_file") translation units in ${presets[*]}"
xargs -P "$(nproc)" -L 1 bash -c 'analyze_one "$@"' _ <"$jobs_file"

failed=$(find "$logs" -name '*.failed' | sort)
finding='^[^ ]+:[0-9]+:[0-9]+: (warning|error): '
for marker in $failed; do
  log=${marker%.failed}
  echo "== $(cat "$marker")"
  grep -v ' warnings\? generated\.$' "$log" || true
done
findings=$(find "$logs" -name '*.log' -exec cat {} + | { grep -E "$finding" || true; } | sort -u | wc -l)
echo "== analyze: $findings distinct findings, $(echo "$failed" | grep -c . || true) failing" \
     "translation units, $((SECONDS - start)) s"
if [ -n "$failed" ] || [ "$uncovered" -ne 0 ]; then
  exit 1
fi
