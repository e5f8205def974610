#!/usr/bin/env bash
# Installs 32-bit Wine (wine32:i386) beside the 64-bit one, adding the i386
# architecture first.
#
# Every Multi-Arch: same library must have one version in both
# architectures. When the archive's i386 side lags behind amd64 (the
# security archive's i386 index often does), the installed amd64 library
# and the i386 candidate differ and apt's resolver gives up ("generated
# breaks"); which libraries lag changes from day to day. So this script
# asks apt to simulate the install, reads the i386 packages its answer
# names, and for each whose installed amd64 version cannot meet the i386
# candidate pins both architectures to the newest version both offer (an
# amd64 downgrade if need be), or holds both at the installed version when
# only amd64 has a newer one, says so, and asks again until apt agrees.
#
#   tools/install_wine32.sh        (does nothing when wine32:i386 is there)
set -euo pipefail

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if installed wine32:i386 && installed wine; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture"
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq >/dev/null 2>&1 || echo "apt-get update reported errors; going on with the indexes it has"

# The versions apt can install of a package for one architecture.
versions() { apt-cache madison "$1:$2" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}'; }

# The newest version offered for both architectures, or nothing.
common_version() {
  local amd64 i386 best="" version
  amd64=$(versions "$1" amd64)
  i386=$(versions "$1" i386)
  for version in $amd64; do
    if grep -qxF "$version" <<<"$i386"; then
      if [ -z "$best" ] || dpkg --compare-versions "$version" gt "$best"; then best=$version; fi
    fi
  done
  echo "$best"
}

# A library moved to another version takes along, or else removes, the
# amd64 packages that depend on its exact version (its -dev package, say).
# Each package the answer would remove is kept at the version a pin chose
# for its library, when that version is offered for it. True when nothing
# would be removed any more.
keep_installed() {
  local name version kept=0 removed
  removed=$(awk '/^Remv / {print $2}' <<<"$answer" | sed 's/:amd64$//' | sort -u)
  [ -n "$removed" ] || return 0
  for name in $removed; do
    for version in $(printf '%s\n' "${pins[@]}" | sed 's/.*=//' | sort -u); do
      if versions "$name" amd64 | grep -qxF "$version"; then
        echo "Keeping $name at $version beside its library"
        pins+=("$name:amd64=$version")
        kept=1
        break
      fi
    done
  done
  if [ $kept -eq 0 ]; then
    echo "Installing 32-bit Wine removes: $(echo $removed)"
    return 0
  fi
  return 1
}

packages=(wine wine32:i386)
pins=()
pinned=" "
for attempt in $(seq 12); do
  if answer=$(apt-get install -s --no-install-recommends --allow-downgrades "${packages[@]}" \
                "${pins[@]}" 2>&1); then
    if keep_installed; then
      echo "Installing: ${packages[*]}${pins[*]:+ with ${pins[*]}}"
      $sudo apt-get install -y -qq --no-install-recommends --allow-downgrades "${packages[@]}" \
          "${pins[@]}" >/dev/null
      exit 0
    fi
    continue
  fi
  added=0
  for name in $(grep -oE '[a-z0-9][a-z0-9.+-]*:i386' <<<"$answer" | sed 's/:i386$//' | sort -u); do
    case $pinned in *" $name "*) continue ;; esac
    have=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null || true)
    [ -n "$have" ] || continue
    candidate=$(apt-cache policy "$name:i386" | awk '/Candidate:/ {print $2}')
    newer=$(apt-cache policy "$name:amd64" | awk '/Candidate:/ {print $2}')
    if [ "$candidate" = "$have" ] && [ "$newer" = "$have" ]; then continue; fi
    if [ "$candidate" = "$have" ]; then
      version=$have  # the i386 side has what is installed: keep amd64 there
    else
      version=$(common_version "$name")
    fi
    [ -n "$version" ] || continue
    if [ "$version" = "$have" ]; then
      echo "Holding $name at $version for amd64 and i386 (amd64 offers $newer, i386 only $candidate)"
    else
      echo "Pinning $name to $version for amd64 and i386 (amd64 has $have, i386 offers $candidate)"
    fi
    pins+=("$name:amd64=$version" "$name:i386=$version")
    pinned+="$name "
    added=1
  done
  if [ $added -eq 0 ]; then
    break
  fi
done
echo "apt cannot install ${packages[*]} here; its last answer:" >&2
grep -E '^ |^E:' <<<"$answer" | tail -15 >&2
exit 1
