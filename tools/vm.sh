#!/usr/bin/env bash
# Runs one command where 32-bit x86 programs start: directly on this machine
# when its kernel starts them, otherwise in a small virtual machine under
# QEMU's system emulator whose root file system is this machine's own root
# (shared with virtiofs). Some of our build machines run a kernel that
# refuses every i386 ELF ("Exec format error"), and 32-bit Wine does not
# survive QEMU's user-mode emulator, so the x86 driver images can only be
# exercised in 32-bit Wine inside such a machine.
#
#   tools/vm.sh [OPTIONS] [--] COMMAND [ARGS...]
#   tools/vm.sh --check
#
#   --check         print whether 32-bit programs start natively here; exit
#                   0 if they do, 1 if not (also 1 when they only start
#                   through a binfmt_misc-registered user-mode emulator)
#   --vm            use the virtual machine even where 32-bit programs
#                   start natively
#   --memory MB     guest memory (default 4096; host memory is taken only
#                   as the guest touches it)
#   --timeout SEC   give up after SEC seconds (default 3600)
#   --env NAME      pass NAME from this environment into the guest
#   --env NAME=VAL  set NAME to VAL in the guest (both repeatable)
#   --verbose       print on stderr when the command started and ended,
#                   counted from QEMU's start
#   --kvm           use KVM (-cpu host) instead of TCG
#
# Natively, COMMAND simply runs here with the whole environment. In the
# virtual machine it runs as the calling user, in the same working
# directory (the guest sees the same paths), with stdin from /dev/null and
# an environment made of PATH, HOME, USER, LOGNAME, SHELL, LANG, LANGUAGE,
# LC_*, TZ, TERM, TMPDIR, every WINE* variable set here, and the --env ones
# (so put /usr/lib/wine on PATH here when the command needs it). Its stdout
# and stderr are streamed back to ours as it writes them (through files on
# the shared root: each stream is in order, but the two are not interleaved
# exactly as written). Whatever it writes to the file system lands on this
# machine. The guest caches what it reads (virtiofs cache=always): files
# that something else changes here while the command runs may look stale
# to it.
#
# The guest powers off as soon as COMMAND returns: whatever it left running
# is stopped where it stands (end a Wine session with `wineserver -w`, or
# the registry is not saved).
#
# Exit status: the command's. 125, with a one-line reason on stderr, when
# the virtual machine could not be set up, did not boot, or the command
# ran past --timeout (natively too); 2 for a bad option.
#
# Installs with apt-get when missing (sudo when not root, no recommends,
# one line on stderr): qemu-system-x86 (its dependency qemu-system-common
# holds /usr/lib/qemu/virtiofsd) and busybox-static. Neither upgrades
# anything installed. The guest kernel is Debian's linux-image-cloud-amd64
# (IA-32 emulation built in, virtio and virtiofs as modules). A host that
# has it installed lends its /boot and /lib/modules; otherwise the package
# it depends on is fetched with `apt-get download` and unpacked with
# dpkg-deb into the cache, NOT installed: installing it pulls in
# initramfs-tools and udev, which upgrade systemd and libudev here.
#
# Cache (CAMERA_VM_CACHE, else ${XDG_CACHE_HOME:-~/.cache}/camera-vm/):
#   kernel/VERSION/   the unpacked kernel package (106 MB)
#   initramfs-VERSION-HASH.cpio   static busybox, the modules that mount the
#                     shared root (each after its dependencies, read from
#                     the modules themselves) and /init; 2.6 MB, rebuilt
#                     when the kernel, busybox or this script changes
#   last-console.log  the guest kernel's console of the latest run
#
# The guest: QEMU's pc machine, 2 CPUs, TCG, CPU model qemu64 plus SSSE3,
# SSE4.1, SSE4.2 and POPCNT (with "max" the guest kernel oopses as soon as
# 32-bit Wine starts). KVM is opt-in: inside another virtual machine
# /dev/kvm may exist and still fail (here: an emulation failure with
# qemu64, a silent hang with host). virtiofsd (-o cache=always,
# -o sandbox=chroot) runs as root (through sudo when not root) with its
# socket in a temporary folder; it, QEMU and the output followers are ended
# by process id when this script exits, however it exits.
#
# Measured on a 2-core Debian 12 machine (TCG, other builds sharing the
# cores: load average 1.3 to 4.0), with --vm since this one's kernel starts
# 32-bit programs itself:
#   installing qemu-system-x86 and busybox-static: about 8 s
#   first run with an empty cache (fetch, unpack, initramfs): 13.5 s in all
#   the command starts 3.9 to 9.7 s after QEMU does (2.6 to 6.3 s of guest
#   uptime, the rest is firmware and loading), the heavier the load the
#   later; `tools/vm.sh --vm -- true` takes 4.6 s at load 2, 8 to 11.6 s
#   at load 4
#   3 MB of output comes back byte for byte; lines written a second apart
#   arrive a second apart
#   a fresh 64-bit Wine prefix (wine64 wineboot -i, wineserver -w): 108 s,
#   against about 11 s natively
set -euo pipefail

self=$(readlink -f "${BASH_SOURCE[0]}")
cache=${CAMERA_VM_CACHE:-${XDG_CACHE_HOME:-${HOME:-/root}/.cache}/camera-vm}

usage() {
  if [ "${1:-2}" = 0 ]; then
    sed -n '/^#   tools\/vm.sh \[/,/^#   --kvm/s/^# \{0,1\}//p' "$self"
    exit 0
  fi
  sed -n '/^#   tools\/vm.sh \[/,/^#   --kvm/s/^# \{0,1\}//p' "$self" >&2
  exit 2
}
die() { echo "vm.sh: $*" >&2; exit 125; }

memory=4096 timeout=3600 timeout_given=0 force_vm=0 check=0 verbose=0 kvm=0
extra_env=()
while [ $# -gt 0 ]; do
  case $1 in
    --check) check=1; shift ;;
    --vm) force_vm=1; shift ;;
    --memory) [ $# -ge 2 ] || usage; memory=$2; shift 2 ;;
    --memory=*) memory=${1#*=}; shift ;;
    --timeout) [ $# -ge 2 ] || usage; timeout=$2; timeout_given=1; shift 2 ;;
    --timeout=*) timeout=${1#*=}; timeout_given=1; shift ;;
    --env) [ $# -ge 2 ] || usage; extra_env+=("$2"); shift 2 ;;
    --env=*) extra_env+=("${1#*=}"); shift ;;
    --verbose) verbose=1; shift ;;
    --kvm) kvm=1; shift ;;
    -h|--help) usage 0 ;;
    --) shift; break ;;
    -*) echo "vm.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) break ;;
  esac
done
[[ $memory =~ ^[0-9]+$ ]] || usage
[[ $timeout =~ ^[0-9]+$ ]] || usage

# --- Do 32-bit programs start here? --------------------------------------

# A 96-byte static i386 ELF that makes the 32-bit exit system call with 42:
# no compiler or 32-bit library needed to ask the kernel.
write_probe() {
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'   # ident
  printf '\002\000\003\000\001\000\000\000\124\200\004\010'          # exec, i386, entry
  printf '\064\000\000\000\000\000\000\000\000\000\000\000'          # phoff, shoff, flags
  printf '\064\000\040\000\001\000\000\000\000\000\000\000'          # sizes, one phdr
  printf '\001\000\000\000\000\000\000\000\000\200\004\010'          # PT_LOAD at 0x8048000
  printf '\000\200\004\010\140\000\000\000\140\000\000\000'
  printf '\005\000\000\000\000\020\000\000'                          # r-x, align
  printf '\270\001\000\000\000\273\052\000\000\000\315\200'          # exit(42) via int 0x80
}

# binfmt_misc entries for i386 ELF images mean an emulator, not the kernel.
emulated() {
  local entry
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$entry" ] || continue
    grep -qx enabled "$entry" 2>/dev/null || continue
    grep -Eq '^magic 7f454c460101.{24}0300' "$entry" 2>/dev/null && return 0
  done
  return 1
}

native32() {
  local dir rc=0
  dir=$(mktemp -d)
  write_probe >"$dir/probe"
  chmod +x "$dir/probe"
  "$dir/probe" 2>/dev/null || rc=$?
  rm -rf "$dir"
  [ "$rc" -eq 42 ] && ! emulated
}

if [ "$check" = 1 ]; then
  if native32; then
    echo "32-bit programs start natively here"
    exit 0
  fi
  if emulated; then
    echo "32-bit programs do not start natively here (an emulator is registered for them); tools/vm.sh runs commands in a virtual machine"
  else
    echo "32-bit programs do not start natively here; tools/vm.sh runs commands in a virtual machine"
  fi
  exit 1
fi

[ $# -gt 0 ] || usage

if [ "$force_vm" = 0 ] && native32; then
  if [ "$timeout_given" = 0 ]; then
    exec "$@"
  fi
  start=$SECONDS rc=0
  timeout -k 10 "$timeout" "$@" || rc=$?
  if [ "$rc" -eq 124 ] && [ $((SECONDS - start)) -ge "$timeout" ]; then
    die "the command timed out after $timeout s"
  fi
  exit "$rc"
fi

# --- What the virtual machine needs ---------------------------------------

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

qemu=/usr/bin/qemu-system-x86_64
virtiofsd=/usr/lib/qemu/virtiofsd
busybox=/bin/busybox

static_busybox() {
  [ -x "$busybox" ] &&
    dpkg-query -W -f='${Status}' busybox-static 2>/dev/null | grep -q 'install ok installed'
}

missing=()
{ [ -x "$qemu" ] && [ -x "$virtiofsd" ]; } || missing+=(qemu-system-x86)
static_busybox || missing+=(busybox-static)
if [ ${#missing[@]} -gt 0 ]; then
  echo "vm.sh: installing ${missing[*]}" >&2
  if ! $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
    $sudo apt-get update -qq >/dev/null 2>&1 || true
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
      die "apt-get could not install ${missing[*]}"
  fi
fi
[ -x "$virtiofsd" ] || die "$virtiofsd is missing after installing qemu-system-x86"
static_busybox || die "busybox-static is not installed"

mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9

# The guest kernel: an installed cloud kernel, else one unpacked in the cache.
kernel="" modules="" version=""
pick_kernel() {
  local root=$1 image v
  for image in $(compgen -G "$root/boot/vmlinuz-*-cloud-amd64" | sort -V -r); do
    v=${image##*/vmlinuz-}
    if [ -r "$image" ] && [ -d "$root/lib/modules/$v/kernel" ]; then
      kernel=$image modules=$root/lib/modules/$v version=$v
      return 0
    fi
  done
  return 1
}
find_kernel() {
  local dir
  pick_kernel "" && return 0
  for dir in $(compgen -G "$cache/kernel/*" | sort -V -r); do
    pick_kernel "$dir" && return 0
  done
  return 1
}
kernel_package() {
  apt-cache depends linux-image-cloud-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*-cloud-amd64\)$/\1/p' | head -n 1
}
fetch_kernel() {
  local package="" work attempt deb
  work=$(mktemp -d "$cache/fetch.XXXXXX")
  # A stale package index names a kernel the mirror no longer has: refresh
  # it once and ask again.
  for attempt in 1 2; do
    if [ "$attempt" = 2 ]; then
      $sudo apt-get update -qq >/dev/null 2>&1 || true
    fi
    package=$(kernel_package)
    [ -n "$package" ] || continue
    [ "$attempt" = 2 ] || echo "vm.sh: fetching $package (unpacked into $cache/kernel, not installed)" >&2
    (cd "$work" && apt-get download -qq "$package" >/dev/null 2>&1) && break
    package=""
  done
  [ -n "$package" ] || { rm -rf "$work"; die "apt-get could not download linux-image-cloud-amd64's kernel"; }
  deb=$(ls "$work"/*.deb)
  mkdir "$work/root"
  dpkg-deb -x "$deb" "$work/root" || { rm -rf "$work"; die "dpkg-deb could not unpack $deb"; }
  mkdir -p "$cache/kernel"
  rm -rf "$cache/kernel/${package#linux-image-}"
  mv "$work/root" "$cache/kernel/${package#linux-image-}"
  rm -rf "$work"
}
if ! find_kernel; then
  fetch_kernel
  find_kernel || die "no cloud kernel found after unpacking it"
fi

# The modules that mount the shared root, each after what it depends on
# (read from the module's own .modinfo; built-in ones need nothing).
declare -A module_file=() module_done=()
module_order=()
while IFS= read -r file; do
  name=${file##*/}
  name=${name%%.ko*}
  module_file[${name//-/_}]=$file
done < <(find "$modules/kernel" -name '*.ko*')
add_module() {
  local name=${1//-/_} file dep
  [ -n "$name" ] || return 0
  [ -z "${module_done[$name]:-}" ] || return 0
  module_done[$name]=1
  file=${module_file[$name]:-}
  if [ -z "$file" ]; then
    grep -q "/${name}.ko" "$modules/modules.builtin" 2>/dev/null ||
      grep -q "/${name//_/-}.ko" "$modules/modules.builtin" 2>/dev/null ||
      die "kernel $version has no module $name"
    return 0
  fi
  for dep in $(unpack_module "$file" | LC_ALL=C tr '\0' '\n' | sed -n 's/^depends=//p' | tr ',' ' '); do
    add_module "$dep"
  done
  module_order+=("$name")
}
unpack_module() {
  case $1 in
    *.xz) xz -dc "$1" ;;
    *.zst) zstd -qdc "$1" ;;
    *.gz) gzip -dc "$1" ;;
    *) cat "$1" ;;
  esac
}
add_module virtio_pci
add_module virtiofs

# The initramfs, rebuilt when the kernel, busybox or this script changes.
key=$(cat "$self" "$busybox" <(printf '%s\n' "$version" "${module_order[@]}") | sha256sum | cut -c1-12)
initramfs=$cache/initramfs-$version-$key.cpio
if [ ! -s "$initramfs" ]; then
  work=$(mktemp -d "$cache/initramfs.XXXXXX")
  mkdir -p "$work/bin" "$work/lib/modules" "$work/proc" "$work/sys" "$work/dev" "$work/mnt"
  cp "$busybox" "$work/bin/busybox"
  for name in "${module_order[@]}"; do
    unpack_module "${module_file[$name]}" >"$work/lib/modules/$name.ko"
  done
  printf '%s\n' "${module_order[@]}" >"$work/lib/modules/order"
  cat >"$work/init" <<'EOF'
#!/bin/busybox sh
# Mounts this machine's root (shared by virtiofsd as "hostroot"), runs the
# job that tools/vm.sh wrote into JOB (on the kernel command line) in it
# and records the exit status there, then powers off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
halt() { echo "camera-vm: $*" >/dev/console; poweroff -f; }
for m in $(cat /lib/modules/order); do
  insmod "/lib/modules/$m.ko" || halt "insmod $m failed"
done
mount -t virtiofs hostroot /mnt || halt "mounting the shared root failed"
job=$(sed -n 's/.*camera_vm_job=\([^ ]*\).*/\1/p' /proc/cmdline)
[ -f "/mnt$job/job.sh" ] || halt "no job at $job"
r=/mnt
mount -t proc proc $r/proc
mount -t sysfs sysfs $r/sys
mount -t devtmpfs devtmpfs $r/dev
mkdir -p $r/dev/pts $r/dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts $r/dev/pts
mount -t tmpfs -o mode=1777 tmpfs $r/dev/shm
ln -sf /proc/self/fd $r/dev/fd
ln -sf /proc/self/fd/0 $r/dev/stdin
ln -sf /proc/self/fd/1 $r/dev/stdout
ln -sf /proc/self/fd/2 $r/dev/stderr
hostname camera-vm
ip link set lo up
cat /proc/uptime >"$r$job/booted"
chroot $r /bin/bash "$job/job.sh" </dev/null >>"$r$job/out" 2>>"$r$job/err"
echo $? >"$r$job/status.new"
mv "$r$job/status.new" "$r$job/status"
sync
poweroff -f
EOF
  chmod +x "$work/init"
  (cd "$work" && find . -mindepth 1 | "$busybox" cpio -o -H newc >"$cache/initramfs.new" 2>/dev/null) ||
    { rm -rf "$work"; die "could not pack the initramfs"; }
  rm -rf "$work"
  rm -f "$cache"/initramfs-*.cpio
  mv "$cache/initramfs.new" "$initramfs"
fi
flock -u 9
exec 9>&-

# --- Run ------------------------------------------------------------------

# The job's folder travels on the kernel command line: keep its path plain.
tmp_parent=$(readlink -f "${TMPDIR:-/tmp}" 2>/dev/null || true)
[[ $tmp_parent =~ ^/[A-Za-z0-9/._-]*$ ]] || tmp_parent=/tmp
tmp=$(mktemp -d "$tmp_parent/camera-vm.XXXXXX")
chmod 755 "$tmp"
# Only the jobs bash still knows as running are signalled: a process that
# has ended and been reaped may have left its id to someone else's.
cleanup() {
  local pid
  for pid in $(jobs -pr); do
    kill "$pid" 2>/dev/null || { [ -n "$sudo" ] && $sudo kill "$pid" 2>/dev/null; } || true
  done
  wait 2>/dev/null || true
  if [ -s "$tmp/console.log" ]; then
    cp "$tmp/console.log" "$cache/last-console.log" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# The job: the working directory, the environment and the command, quoted
# for the host's bash, which runs it inside the guest.
env_list=()
add_env() {
  case $1 in
    *=*) env_list+=("$1") ;;
    *) if [ -n "${!1+set}" ]; then env_list+=("$1=${!1}"); fi ;;
  esac
}
for name in PATH HOME USER LOGNAME SHELL LANG LANGUAGE TZ TERM TMPDIR $(compgen -e | grep -E '^(LC_|WINE)' || true); do
  add_env "$name"
done
for item in "${extra_env[@]}"; do
  [[ ${item%%=*} =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] || die "bad --env $item"
  add_env "$item"
done
{
  printf 'cd -- %q || { echo "vm.sh: the guest cannot enter %q" >&2; exit 125; }\n' "$PWD" "$PWD"
  printf 'exec'
  if [ "$(id -u)" -ne 0 ]; then
    printf ' setpriv --reuid=%q --regid=%q --init-groups' "$(id -u)" "$(id -g)"
  fi
  printf ' env -i'
  printf ' %q' "${env_list[@]}" "$@"
  printf '\n'
} >"$tmp/job.sh"
: >"$tmp/out"
: >"$tmp/err"

socket=$tmp/virtiofsd.sock
$sudo "$virtiofsd" --socket-path="$socket" --socket-group="$(id -gn)" \
  -o source=/ -o cache=always -o sandbox=chroot >"$tmp/virtiofsd.log" 2>&1 &
for _ in $(seq 100); do
  [ -S "$socket" ] && break
  sleep 0.05
done
[ -S "$socket" ] || die "virtiofsd did not start: $(tail -n 1 "$tmp/virtiofsd.log")"

# TCG unless asked otherwise: where /dev/kvm exists inside another virtual
# machine it may open and still hang or fail the guest (seen here: an
# emulation failure with qemu64, a silent hang with "host").
accel=(-accel "tcg,thread=multi" -cpu "qemu64,+ssse3,+sse4.1,+sse4.2,+popcnt")
if [ "$kvm" = 1 ]; then
  accel=(-accel kvm -cpu host)
fi
started=$(date +%s.%N)
timeout -k 5 "$timeout" "$qemu" -nodefaults -no-user-config -display none -no-reboot \
  "${accel[@]}" -smp 2 \
  -m "$memory" -object memory-backend-memfd,id=mem,size="${memory}M",share=on -numa node,memdev=mem \
  -kernel "$kernel" -initrd "$initramfs" \
  -append "console=ttyS0 panic=-1 camera_vm_job=$tmp" \
  -serial file:"$tmp/console.log" \
  -chardev socket,id=root,path="$socket" -device vhost-user-fs-pci,chardev=root,tag=hostroot \
  >"$tmp/qemu.log" 2>&1 &
qemu_pid=$!
# Stream what the command writes: the guest's writes reach these files
# before it records its status and powers off, and each follower exits
# after reading to the end once QEMU has gone.
tail -c +1 -s 0.1 -f --pid="$qemu_pid" "$tmp/out" &
out_pid=$!
tail -c +1 -s 0.1 -f --pid="$qemu_pid" "$tmp/err" >&2 &
err_pid=$!

rc=0
wait "$qemu_pid" || rc=$?
wait "$out_pid" "$err_pid" 2>/dev/null || true
seconds_since_start() { awk -v a="$started" -v b="$1" 'BEGIN { printf "%.1f", b - a }'; }

if [ -f "$tmp/status" ]; then
  status=$(cat "$tmp/status")
  if [ "$verbose" = 1 ]; then
    echo "vm.sh: the command started $(seconds_since_start "$(stat -c %.3Y "$tmp/booted")") s after QEMU" \
      "(guest uptime $(cut -d' ' -f1 "$tmp/booted") s) and ended $(seconds_since_start "$(stat -c %.3Y "$tmp/status")") s after it" >&2
  fi
  exit "$status"
fi
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
  die "the command timed out after $timeout s"
fi
if [ -f "$tmp/booted" ]; then
  die "the virtual machine stopped before the command ended (console: $cache/last-console.log)"
fi
reason=$(grep -hv '^\s*$' "$tmp/qemu.log" 2>/dev/null | tail -n 1 || true)
if [ -z "$reason" ]; then
  reason=$(grep -hv '^\s*$' "$tmp/console.log" 2>/dev/null | tail -n 1 || true)
fi
die "the virtual machine did not boot: ${reason:-it printed nothing} (console: $cache/last-console.log)"
