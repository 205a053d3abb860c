#!/usr/bin/env bash
# Builds the kernel and base initramfs of a QEMU guest with a real Linux
# device-mapper, for the real-kernel tests and the demo.
#
# Usage: build-guest.sh [--force] <amd64|arm64> [--kernel 6.1|6.12-16k]
#
# 6.1 is Debian's cloud kernel; 6.12-16k (arm64 only) the newest 6.12 kernel
# with 16 KiB pages. Packages come by `apt-get download` and `dpkg-deb -x`,
# nothing is installed. Into ${QUILLMAP_VM_CACHE:-~/.cache/quillmap-vm}/
# <arch> (6.1) or <arch>-<kernel> go vmlinuz, initramfs.cpio (busybox, the
# modules in load order, dmsetup and its libraries), udev.cpio (udevadm as
# systemd-udevd and what it adds; run-guest.sh appends it to udev boots) and,
# last, stamp: one of the current format makes this a no-op without --force.
set -euo pipefail

die() { echo "build-guest: $*" >&2; exit 1; }

usage="usage: build-guest.sh [--force] <amd64|arm64> [--kernel 6.1|6.12-16k]"
force=0
arch=
kernel=6.1
while [ $# -gt 0 ]; do
  case "$1" in
    --force) force=1 ;;
    --kernel) kernel=${2:-}; shift ;;
    amd64|arm64) arch=$1 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' ($usage)" ;;
  esac
  shift
done
[ -n "$arch" ] || die "$usage"
case "$arch/$kernel" in
  */6.1) guest=$arch ;;
  arm64/6.12-16k) guest=$arch-$kernel ;;
  *) die "no kernel '$kernel' for $arch ($usage; 6.12-16k is arm64 only)" ;;
esac

case "$arch" in
  amd64) triplet=x86_64-linux-gnu ;;
  arm64) triplet=aarch64-linux-gnu ;;
esac

# Raised whenever the folder's contents change in a way that run-guest.sh
# relies on.
stamp_format=2

cache_root=${QUILLMAP_VM_CACHE:-${HOME:-$(cd ~ && pwd)}/.cache/quillmap-vm}
out=$cache_root/$guest
if [ "$force" -eq 0 ] && [ -f "$out/stamp" ]; then
  if grep -qx "format: $stamp_format" "$out/stamp"; then
    echo "build-guest: $arch $kernel guest is up to date in $out ($(head -n1 "$out/stamp"))"
    exit 0
  fi
  echo "build-guest: the $arch guest in $out is of an older format; rebuilding it"
fi

for tool in apt-get apt-cache dpkg-deb depmod modprobe cpio readelf xz; do
  command -v "$tool" >/dev/null 2>&1 ||
    die "'$tool' is missing; run scripts/setup.sh (packages: apt, dpkg, kmod, cpio, binutils)"
done
if [ "$arch" != "$(dpkg --print-architecture)" ] &&
   ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
  die "dpkg does not know the $arch architecture; run scripts/setup.sh or 'dpkg --add-architecture $arch && apt-get update'"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmap-guest.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
udev_root=$work/udev-root
mkdir -p "$root"/{bin,sbin,lib,proc,sys,dev,tmp,run} "$udev_root"

# Prints the name apt wants for package $1 of the guest's architecture:
# "pkg:arch", or the plain name for Architecture: all packages (apt refuses
# "pkg:arm64" for those, and one refused name makes a batch fetch nothing).
qualified_name() {
  local q pa=
  for q in "$1:$arch" "$1"; do
    [ -n "$pa" ] || pa=$(apt-cache show --no-all-versions "$q" 2>/dev/null |
                         awk '/^Architecture:/ {print $2; exit}') || true
  done
  case "$pa" in
    all) echo "$1" ;;
    "") return 1 ;;
    *) echo "$1:$arch" ;;
  esac
}

# As root, fresh package lists (a newer 16k kernel, or none known yet).
[ "$(id -u)" -ne 0 ] || apt-get update -qq >&2 || true
resolve() {
  qualified_name "$1" || die "apt knows no package '$1' for $arch; run 'apt-get update' (and scripts/setup.sh)"
}

if [ "$kernel" = 6.1 ]; then
  # The cloud metapackage only depends on the versioned image package.
  meta=$(resolve "linux-image-cloud-$arch")
  kpkg=$(apt-cache depends --important "$meta" 2>/dev/null |
         awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  kpkg=${kpkg%%:*}
  [ -n "$kpkg" ] || die "cannot resolve $meta to a linux-image-* package"
else
  # No metapackage: the newest 6.12 16k image the package lists know.
  kpkg=$(apt-cache pkgnames linux-image-6.12 2>/dev/null |
         grep -E '^linux-image-6\.12\.[0-9]+\+deb12-arm64-16k-unsigned$' | sort -V | tail -n 1)
  [ -n "$kpkg" ] || die "apt knows no linux-image-6.12.*+deb12-arm64-16k-unsigned; run 'apt-get update'"
fi

# dmsetup and udev are dynamically linked: these packages hold them and every
# library in their closures; the closure walk below fails loudly if one goes
# missing.
user_pkgs=(busybox-static dmsetup libdevmapper1.02.1 libselinux1 libudev1
           libpcre2-8-0 libc6
           udev libkmod2 liblzma5 libzstd1 libssl3 libacl1 libblkid1 libcap2)
names=("$(resolve "$kpkg")")
for p in "${user_pkgs[@]}"; do names+=("$(resolve "$p")"); done

echo "build-guest: downloading ${names[*]}"
mkdir -p "$work/debs"
apt_opts=()
# As root, apt drops to the _apt user, which cannot write into our 0700 dir.
[ "$(id -u)" -eq 0 ] && apt_opts=(-o APT::Sandbox::User=root)
if ! (cd "$work/debs" && apt-get "${apt_opts[@]}" -q download "${names[@]}" >"$work/download.log" 2>&1); then
  grep -E '^(E|W):' "$work/download.log" >&2 || tail -n 20 "$work/download.log" >&2
  die "downloading the guest packages failed (apt's messages above); check the network and apt sources, then run 'apt-get update'"
fi

kdeb=$(ls "$work"/debs/"${kpkg}"_*.deb)
mkdir -p "$work/k" "$work/u"
dpkg-deb -x "$kdeb" "$work/k"
for d in "$work"/debs/*.deb; do
  [ "$d" = "$kdeb" ] || dpkg-deb -x "$d" "$work/u"
done

# Kernel and modules.
kver=$(ls "$work/k/lib/modules")
[ "$(echo "$kver" | wc -w)" -eq 1 ] || die "expected one module tree in $kpkg, found: $kver"
cp "$work/k/boot/vmlinuz-$kver" "$work/vmlinuz"
depmod -b "$work/k" "$kver"
# dm-crypt and the crypto of "aes-cbc-essiv:sha256" and "aes-xts-plain64",
# the disks' and the result channel's virtio drivers, each with what it
# needs. Generic names, so no CPU feature is needed; modprobe reports the built-in
# ones (aes, cbc, sha256 in Debian's config) as "builtin" and they are skipped.
modules=(dm-mod dm-crypt cbc ecb xts essiv sha256_generic aes_generic
         virtio_pci virtio_blk virtio_console)
: >"$work/load-order"
for m in "${modules[@]}"; do
  modprobe -d "$work/k" -S "$kver" --show-depends "$m" >"$work/deps" 2>&1 ||
    die "modprobe cannot resolve '$m' in $kpkg: $(cat "$work/deps")"
  # "insmod /abs/path.ko [params]" lines; built-in modules say "builtin m".
  while read -r verb path _; do
    [ "$verb" = insmod ] || continue
    rel=${path#"$work/k/lib/modules/$kver/"}
    rel=${rel%.xz}
    grep -qxF "$rel" "$work/load-order" && continue
    echo "$rel" >>"$work/load-order"
    mkdir -p "$root/lib/modules/$kver/$(dirname "$rel")"
    case "$path" in
      *.xz) xz -dc "$path" >"$root/lib/modules/$kver/$rel" ;;
      *) cp "$path" "$root/lib/modules/$kver/$rel" ;;
    esac
  done <"$work/deps"
done
# Paths inside the guest, so its init needs no knowledge of the version.
sed "s|^|/lib/modules/$kver/|" "$work/load-order" >"$root/lib/modules/load-order"

# Userland.
cp "$work/u/bin/busybox" "$root/bin/busybox"
cp "$work/u/sbin/dmsetup" "$root/sbin/dmsetup"
# udevadm is also the daemon when called as systemd-udevd; the Debian package
# ships the daemon's name as an absolute link, kept so here.
[ -f "$work/u/bin/udevadm" ] || die "the udev package has no /bin/udevadm"
mkdir -p "$udev_root/bin" "$udev_root/lib/systemd"
cp "$work/u/bin/udevadm" "$udev_root/bin/udevadm"
ln -s /bin/udevadm "$udev_root/lib/systemd/systemd-udevd"

find_lib() {
  local d
  for d in "$work/u/lib/$triplet" "$work/u/usr/lib/$triplet"; do
    [ -e "$d/$1" ] && { echo "$d/$1"; return 0; }
  done
  return 1
}
# copy_closure DEST ELF...: copies the program interpreter and every library
# the ELF files need, directly or through each other, into DEST, except those
# that the base archive ($root) already holds. Both archives are unpacked
# over each other at boot, so a library in the base one serves both.
copy_closure() {
  local dest=$1 f interp src so
  shift
  local todo=("$@")
  mkdir -p "$dest/lib/$triplet"
  while [ ${#todo[@]} -gt 0 ]; do
    f=${todo[0]}
    todo=("${todo[@]:1}")
    interp=$(readelf -l "$f" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
    if [ -n "$interp" ] && [ ! -e "$root$interp" ] && [ ! -e "$dest$interp" ]; then
      src=$(find_lib "$(basename "$interp")") || die "no $interp in the libc6 package"
      mkdir -p "$dest$(dirname "$interp")"
      cp -L "$src" "$dest$interp"
    fi
    for so in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [ -e "$root/lib/$triplet/$so" ] || [ -e "$dest/lib/$triplet/$so" ] && continue
      src=$(find_lib "$so") ||
        die "$(basename "$f") needs $so, which none of ${user_pkgs[*]} ships"
      # Relative links resolve inside the unpacked tree; absolute ones are
      # never followed because find_lib only looks in the multiarch dirs.
      cp -L "$src" "$dest/lib/$triplet/$so"
      todo+=("$dest/lib/$triplet/$so")
    done
  done
}
copy_closure "$root" "$root/sbin/dmsetup"
copy_closure "$udev_root" "$udev_root/bin/udevadm"

# make_archive ROOT OUT: an uncompressed newc archive of ROOT, padded to 512
# bytes, since the kernel only accepts an archive that follows another one
# at an aligned offset (run-guest.sh appends its own).
make_archive() {
  (cd "$1" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$2"
  truncate -s %512 "$2"
}
make_archive "$root" "$work/initramfs.cpio"
make_archive "$udev_root" "$work/udev.cpio"

rm -rf "$out.new"
mkdir -p "$out.new"
mv "$work/vmlinuz" "$work/initramfs.cpio" "$work/udev.cpio" "$out.new/"
{
  echo "$kpkg $kver"
  echo "format: $stamp_format"
  for d in "$work"/debs/*.deb; do basename "$d"; done
  echo "modules: $(tr '\n' ' ' <"$work/load-order")"
} >"$out.new/stamp"
rm -rf "$out"
mv "$out.new" "$out"
echo "build-guest: $arch $kernel guest ready in $out (kernel $kver, initramfs $(( $(stat -c %s "$out/initramfs.cpio") / 1024 )) KiB, udev $(( $(stat -c %s "$out/udev.cpio") / 1024 )) KiB)"
