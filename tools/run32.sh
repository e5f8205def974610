#!/usr/bin/env bash
# Makes sure this machine can start 32-bit x86 Linux programs, which the
# x86 host build's tests are. A kernel built without IA-32 emulation cannot;
# QEMU's user-mode emulator, registered with binfmt_misc for i386 ELF
# images, then starts them instead. Exits 1 if neither works.
#
#   tools/run32.sh            32-bit programs run, natively or emulated
#   tools/run32.sh --native   32-bit programs run without an emulator
#                             (what 32-bit Wine needs: it fails under QEMU)
set -euo pipefail
entry=/proc/sys/fs/binfmt_misc/qemu-i386

emulated() { grep -qx enabled "$entry" 2>/dev/null; }

probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main(void) { return 0; }' >"$probe/probe.c"
gcc -m32 "$probe/probe.c" -o "$probe/probe"

if [ "${1:-}" = --native ]; then
  ! emulated && "$probe/probe" 2>/dev/null
  exit
fi
"$probe/probe" 2>/dev/null && exit 0

echo "This kernel does not start 32-bit programs; registering QEMU's user-mode emulator for them"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if ! command -v qemu-i386 >/dev/null; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
fi
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  $sudo mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e "$entry" ]; then
  # ELF, 32-bit, little-endian, executable or shared object, machine 386.
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  echo ":qemu-i386:M::$magic:$mask:$(command -v qemu-i386):" | $sudo tee /proc/sys/fs/binfmt_misc/register >/dev/null
fi
"$probe/probe"
