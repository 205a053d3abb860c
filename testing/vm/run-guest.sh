#!/usr/bin/env bash
# Boots the quillmap test guest (a Debian kernel, busybox, real device-mapper;
# made by build-guest.sh in ${QUILLMAP_VM_CACHE:-~/.cache/quillmap-vm}) under
# QEMU's software emulation and runs one payload in it.
#
# Usage: run-guest.sh --arch amd64|arm64 [--kernel 6.1|6.12-16k]
#   [--disk NAME=HEADER:SIZE]... [--devmgr mdev|udev|none] [--selinux]
#   [--file HOSTPATH:GUESTPATH]... [--env K=V]... [--timeout S]
#   [--skip-missing] -- PAYLOAD [ARGS...]
# --disk: /dev/block/NAME, HEADER (4 characters or hex:XXXXXXXX) over a
#   pattern on its first 8 MiB that differs per sector and name, then zeros.
# --devmgr: the daemon that runs guest/dm-event.sh for dm devices: busybox
#   mdev -d (never opens them), systemd-udevd (probes them as a real system
#   does), or none.
# --selinux: SELinux as the kernel's security module with no policy yet (the
#   payload loads one), /dev/block a tmpfs (device types live only on one).
# --skip-missing: exit 77, not 125, without QEMU or the guest (unless CI=true).
# The payload (busybox sh, may start static executables sent with --file)
# runs as root in /tmp with TERM=dumb; its output comes back on stdout after
# a line naming the kernel and page size, and its status becomes ours. 125
# is a harness failure, with the reason and the console's end on stderr.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
die() { echo "run-guest: $*" >&2; exit 125; }

arch= kernel=6.1 timeout_s=120 devmgr=mdev skip_missing=0 selinux=0
disks=() files=() envs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=${2:-}; shift 2 ;;
    --kernel) kernel=${2:-}; shift 2 ;;
    --disk) disks+=("${2:-}"); shift 2 ;;
    --devmgr) devmgr=${2:-}; shift 2 ;;
    --selinux) selinux=1; shift ;;
    --file) files+=("${2:-}"); shift 2 ;;
    --env) envs+=("${2:-}"); shift 2 ;;
    --timeout) timeout_s=${2:-}; shift 2 ;;
    --skip-missing) skip_missing=1; shift ;;
    --) shift; break ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done
[ $# -ge 1 ] || die "no payload given (see --help)"
payload=$1; shift
case "$arch" in
  amd64) qemu="qemu-system-x86_64" ;;
  arm64) qemu="qemu-system-aarch64" ;;
  *) die "--arch must be amd64 or arm64" ;;
esac
[[ "$timeout_s" =~ ^[0-9]+$ ]] && [ "$timeout_s" -gt 0 ] || die "bad --timeout '$timeout_s'"
case "$devmgr" in
  mdev|udev|none) ;;
  *) die "--devmgr must be mdev, udev or none" ;;
esac
# The guest's folder in the cache, as build-guest.sh names it.
case "$arch/$kernel" in
  */6.1) guest=$arch ;;
  arm64/6.12-16k) guest=$arch-$kernel ;;
  *) die "no --kernel '$kernel' for $arch (6.1, or 6.12-16k for arm64)" ;;
esac
cache=${QUILLMAP_VM_CACHE:-${HOME:-$(cd ~ && pwd)}/.cache/quillmap-vm}/$guest
missing=
command -v "$qemu" >/dev/null 2>&1 || missing="$qemu is not installed (run scripts/setup.sh)"
[ -n "$missing" ] || [ -f "$cache/stamp" ] ||
  missing="no $arch $kernel guest in $cache (run testing/vm/build-guest.sh $arch --kernel $kernel)"
if [ -n "$missing" ]; then
  if [ "$skip_missing" -eq 1 ] && [ "${CI:-}" != true ]; then
    echo "run-guest: SKIPPED: $missing"
    exit 77
  fi
  die "$missing"
fi

[ -f "$payload" ] || die "payload '$payload' does not exist"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmap-run.XXXXXX")
qemu_pid=
trap '[ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# Quotes $1 for a POSIX shell.
shq() { printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }

drive_args=()
disk_names=()
i=0
for disk in "${disks[@]}"; do
  [[ "$disk" =~ ^([A-Za-z0-9._-]{1,20})=(.+):([0-9]+[KMG]?)$ ]] ||
    die "bad --disk '$disk' (want NAME=HEADER:SIZE, NAME 1 to 20 of A-Z a-z 0-9 . _ -)"
  name=${BASH_REMATCH[1]} header=${BASH_REMATCH[2]}
  size=$(numfmt --from=iec "${BASH_REMATCH[3]}")
  [[ " ${disk_names[*]} " != *" $name "* ]] || die "disk '$name' given twice"
  [ "$size" -ge 512 ] && [ $((size % 512)) -eq 0 ] ||
    die "bad size for disk '$name' (a multiple of 512 bytes, e.g. 4M)"
  img=$work/disk$i.img
  truncate -s "$size" "$img"
  # The fake's disk pattern (DiskPattern() in testing/support/fake_sandbox.h):
  # word k is k * 2654435761 + seed mod 2^32, so every sector differs; then
  # the header over its first 4 bytes. perl-base is essential on Debian.
  perl -e 'my ($name, $header, $n) = @ARGV;
           if ($header =~ s/^hex://) { $header =~ /^[0-9a-fA-F]{8}$/ or exit 1; $header = pack("H8", $header) }
           length($header) == 4 or exit 1;
           my $seed = (unpack("%32C*", $name) * 7919 + length($name)) % 4294967296;
           my $p = pack("V*", map { ($_ * 2654435761 + $seed) % 4294967296 } 0 .. $n / 4 - 1);
           substr($p, 0, 4) = $header; print $p' \
    "$name" "$header" $(( size < 8388608 ? size : 8388608 )) | dd of="$img" conv=notrunc status=none ||
    die "bad header '$header' for disk '$name' (4 characters or hex:XXXXXXXX)"
  drive_args+=(-drive "file=$img,if=none,id=d$i,format=raw,cache=unsafe"
               -device "virtio-blk-pci,drive=d$i,serial=$name")
  disk_names+=("$name")
  i=$((i + 1))
done

# Everything of this run goes into a second archive after the cached one.
stage=$work/stage
mkdir -p "$stage/quillmap/payload"
cp "$here/guest/init" "$stage/init"
cp "$here/guest/dm-event.sh" "$here/guest/mdev.conf" "$stage/quillmap/"
cp -r "$here/guest/udev" "$stage/quillmap/udev"
payload_guest=/quillmap/payload/$(basename "$payload")
cp "$payload" "$stage$payload_guest"
chmod 0755 "$stage$payload_guest" "$stage/init"
for f in "${files[@]}"; do
  src=${f%%:*}
  dst=${f#*:}
  [ "$src" != "$f" ] && [[ "$dst" == /* ]] || die "bad --file '$f' (want HOSTPATH:/GUESTPATH)"
  [ -e "$src" ] || die "--file source '$src' does not exist"
  mkdir -p "$(dirname "$stage/quillmap/files$dst")"
  cp -a "$src" "$stage/quillmap/files$dst"
done
marker="@@quillmap-status-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
{
  echo "QM_MARKER=$marker"
  echo "QM_DISKS=$(shq "${disk_names[*]}")"
  echo "QM_DEVMGR=$devmgr"
  echo "QM_SELINUX=$selinux"
  echo "QM_PAYLOAD=$(shq "$payload_guest")"
  printf 'set --'
  for a in "$@"; do printf ' %s' "$(shq "$a")"; done
  echo
  for e in "${envs[@]}"; do
    k=${e%%=*}
    [[ "$k" =~ ^[A-Za-z_][A-Za-z0-9_]*$ ]] && [ "$k" != "$e" ] || die "bad --env '$e' (want K=V)"
    echo "export $k=$(shq "${e#*=}")"
  done
} >"$stage/quillmap/config"
cp "$cache/initramfs.cpio" "$work/initrd"
# Both cached archives are padded to 512 bytes, so each one after them
# starts where the kernel looks for it.
[ "$devmgr" != udev ] || cat "$cache/udev.cpio" >>"$work/initrd"
(cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >>"$work/initrd"

common=(-m 512 -smp 2 -nodefaults -display none -no-reboot -monitor none
        -kernel "$cache/vmlinuz" -initrd "$work/initrd"
        -serial "file:$work/console.log"
        -device virtio-serial-pci
        -chardev "file,id=qmout,path=$work/out"
        -device virtserialport,chardev=qmout,name=quillmap.out)
# cryptomgr.notests: the crypto self-tests can stall a loaded TCG boot.
append="panic=-1 loglevel=4 mitigations=off cryptomgr.notests"
[ "$selinux" -eq 0 ] || append="$append security=selinux"
case "$arch" in
  amd64) machine=(-M pc -accel tcg -cpu max); append="console=ttyS0 $append" ;;
  # -cpu max has the 16 KiB granule the 16k kernel needs and pointer
  # authentication, as current phones' cores do; QEMU's own cheap algorithm
  # for it (pauth-impdef) instead of the architected cipher, which makes a
  # boot 2 to 4 times as long under TCG.
  arm64) machine=(-M virt -accel tcg,thread=multi -cpu max,pauth-impdef=on); append="console=ttyAMA0 $append" ;;
esac

# Ends the run as a harness failure, with what the guest said before that.
guest_fail() {
  [ ! -s "$work/qemu.log" ] || sed 's/^/run-guest: qemu: /' "$work/qemu.log" >&2
  [ ! -s "$work/out" ] || { echo "run-guest: the payload's output so far:" >&2; cat "$work/out" >&2; }
  [ ! -s "$work/console.log" ] || { echo "run-guest: last lines of the guest console:" >&2
    tail -n 25 "$work/console.log" | tr -d '\r' | sed 's/^/  | /' >&2; }
  die "$1"
}

start=$(date +%s)
"$qemu" "${machine[@]}" "${common[@]}" "${drive_args[@]}" -append "$append" \
  </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
# Poll instead of `timeout`, so an interrupt of this script also ends QEMU.
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ $(( $(date +%s) - start )) -ge "$timeout_s" ]; then
    kill "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
    qemu_pid=
    guest_fail "time-out: the guest did not finish within $timeout_s s"
  fi
  sleep 0.1
done
qemu_rc=0
wait "$qemu_pid" || qemu_rc=$?
qemu_pid=

found=$(grep -a -b -o "$marker [0-9]*" "$work/out" 2>/dev/null | tail -n 1) || true
[ -n "$found" ] || [ "$qemu_rc" -eq 0 ] || guest_fail "QEMU failed (status $qemu_rc)"
[ -n "$found" ] || guest_fail "the guest stopped without reporting the payload's status (boot failure or crash)"
offset=${found%%:*}
status=${found##* }
# init put a newline before the marker.
head -c "$(( offset > 0 ? offset - 1 : 0 ))" "$work/out"
exit "$status"
