#!/usr/bin/env bash
# Runs the real images in Wine's Plug and Play and I/O managers: for each
# width (x64 in a 64-bit prefix, x86 in a 32-bit one), stages the driver
# package with the test camera's INF, the stack loader, the pass-through
# filter, the bridge driver and the test programs, and runs
# camera_wine_test there, in a copy of a prefix booted once per width and
# Wine version (kept under ~/.cache/camera-wine). The x86 width runs through
# tools/vm.sh: directly where this machine's kernel starts 32-bit programs,
# in a virtual machine sharing this machine's files where it does not.
# Installs Wine first (no recommends; wine32:i386 with
# tools/install_wine32.sh, which copes with an i386 index that lags).
# Prints each check, then per width the counts and the time taken; fails if
# any check failed or a Wine process (the driver host above all) stopped on
# a fault. A width whose Wine cannot be installed here is reported as not
# run.
#
#   tools/wine_proof.sh [x64] [x86]      (both by default)
set -euo pipefail
cd "$(dirname "$0")/.."
widths=("$@")
if [ ${#widths[@]} -eq 0 ]; then
  widths=(x64 x86)
fi

tools/setup.sh
# The host simulation of the same camera, for the bring-up comparison.
cmake --preset host64 >/dev/null
cmake --build --preset host64 --target host_bring_up -j "$(nproc)" >/dev/null

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# Wine's packages; the 32-bit loader needs the i386 architecture. apt-get
# update may fail on one index and still leave the rest usable, so only the
# installs decide.
install_wine() {
  local packages=("$@") missing=()
  for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq >/dev/null 2>&1 || true
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null && return 0
  # A mirror whose security index for one architecture lags behind the other
  # leaves the i386 and amd64 candidates of a shared library at different
  # versions, which multiarch refuses. The point release has both at one
  # version; take the packages from there.
  local release
  release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$release" ] || return 1
  echo "Retrying from $release's own packages"
  $sudo apt-get install -y -qq --no-install-recommends -t "$release" "${missing[@]}" >/dev/null
}

export PATH=/usr/lib/wine:$PATH
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

# One prefix per width and Wine version, booted once and kept outside the
# clone; each run works in a copy of it, so a run's installs never leak
# into the next one and no run pays for wineboot.
prefix_cache=${XDG_CACHE_HOME:-$HOME/.cache}/camera-wine

failed=()
not_run=()
for width in "${widths[@]}"; do
  case $width in
    x64) preset=kernel-x64 arch=win64 loader=wine64 ;;
    x86) preset=kernel-x86 arch=win32 loader=wine ;;
    *) echo "unknown width $width (x64 or x86)" >&2; exit 2 ;;
  esac
  # 32-bit Wine runs where this machine's kernel starts 32-bit programs, and
  # elsewhere in a virtual machine that shares this machine's files
  # (tools/vm.sh decides, and runs the command directly when it can).
  runner=()
  if [ "$width" = x86 ]; then
    runner=("$PWD/tools/vm.sh" --timeout 1200 --)
    installed=true
    tools/install_wine32.sh || installed=false
  else
    installed=true
    install_wine wine wine64 || installed=false
  fi
  if [ "$installed" != true ]; then
    echo "== wine $width: NOT RUN, apt-get could not install Wine for $width here"
    not_run+=("$width")
    continue
  fi

  # Built only for a width that runs here.
  tools/build.sh "$preset" >/dev/null

  start=$(date +%s)
  work=build/wine/$width
  rm -rf "$work"
  mkdir -p "$work/stage"
  built=build/$preset
  cp build/package/"$width"/* "$work/stage/"
  cp "$built"/bridge/bridge*.sys "$built"/tests/wine/loader/stack_loader.sys \
     "$built"/tests/wine/passthrough/passthrough*.sys \
     "$built"/tests/wine/wine_camera.inf "$built"/tests/wine/camera_wine_test.exe \
     "$built"/tools/snapshot_client/snapshot_client.exe "$work/stage/"
  build/host64/tests/wine/host_bring_up "$work/stage/bringup_host.txt"

  export WINEARCH=$arch
  booted=$prefix_cache/$arch-$(dpkg-query -W -f='${Version}' wine)
  if [ ! -f "$booted/system.reg" ]; then
    echo "== wine $width: booting a fresh prefix once, kept in $booted"
    rm -rf "$booted"
    mkdir -p "$(dirname "$booted")"
    WINEPREFIX=$booted "${runner[@]}" sh -c "$loader wineboot -i >/dev/null 2>&1; wineserver -w"
  fi
  cp -a "$booted" "$work/prefix"
  export WINEPREFIX=$PWD/$work/prefix

  echo "== wine $width"
  status=0
  # The first process in the copied prefix starts the wineserver and may find
  # the prefix being brought up to date, and has once failed to load
  # kernel32.dll doing so; a throw-away command takes that part.
  (cd "$work/stage" &&
     "${runner[@]}" sh -c "$loader cmd /c exit >/dev/null 2>&1; \
                           timeout 600 $loader camera_wine_test.exe; \
                           code=\$?; wineserver -k; exit \$code") \
      2>"$work/wine.log" | tee "$work/checks.log" || status=$?
  # Wine reports a process that stopped (a fault in the driver host, a call
  # into what Wine does not implement) only in the log; a driver host that
  # died fails the width even when the checks had already run.
  stopped=$(grep -E '^wine: (Unhandled|Unimplemented)' "$work/wine.log" | sort -u || true)
  if [ -n "$stopped" ]; then
    echo "wine $width: a Wine process stopped (see $work/wine.log):"
    echo "$stopped" | sed 's/^/  /'
    status=1
  fi
  if ! grep -q '^summary:' "$work/checks.log"; then
    echo "wine $width: no summary; the end of $work/wine.log:"
    tail -5 "$work/wine.log" | sed 's/^/  /'
    status=1
  fi
  echo "wine $width: $(grep '^summary:' "$work/checks.log" | sed 's/^summary: //') in $(( $(date +%s) - start ))s"
  if [ $status -ne 0 ]; then
    failed+=("$width")
  fi
done
if [ ${#not_run[@]} -ne 0 ]; then
  echo "Wine proof NOT RUN for: ${not_run[*]}"
  if [ "${CAMERA_CI:-}" = 1 ]; then
    failed+=("${not_run[@]}")
  fi
fi
if [ ${#failed[@]} -ne 0 ]; then
  echo "Wine proof FAILED: ${failed[*]}"
  exit 1
fi
