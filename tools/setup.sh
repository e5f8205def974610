#!/usr/bin/env bash
# Installs every Debian package the builds and tests need (nothing when they
# are all present) and makes sure 32-bit programs can be started.
set -euo pipefail

packages=(
  cmake make g++ g++-multilib            # host builds, x86-64 and x86
  ccache                                 # compiles cached outside the clone
  googletest libbenchmark-dev            # tests and benchmarks
  mingw-w64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64  # kernel images
  openssl osslsigncode python3           # driver package: test signing and its checks
  python3-asn1crypto                     # the package's catalog (for Debian's /usr/bin/python3)
  clang-tidy-14                          # static analysis (tools/analyze.sh)
  clang-14 libclang-rt-14-dev            # fuzzing with libFuzzer (tools/fuzz.sh)
  libpng-dev gnuplot-nox                 # camera_sim's images and plots
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  # An index that fails to download (a mirror mid-sync, an architecture the
  # mirror lags on) leaves the others usable: the install decides.
  $sudo apt-get update -qq || echo "apt-get update reported errors; installing from the indexes it has"
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The x86 host build's tests are 32-bit programs; tools/test.sh reports them
# as not run where this machine cannot start them at all.
"$(dirname "$0")"/run32.sh || echo "32-bit programs cannot be started on this machine"
