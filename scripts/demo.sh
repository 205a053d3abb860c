#!/usr/bin/env bash
# Shows quillmap at work on an emulated 64-bit Arm device with a real Linux
# device-mapper, from a fresh Debian 12 machine.
#
# Usage: scripts/demo.sh [--layout ufs|emmc|none]
#   ufs   (default) two 4 MiB UFS boot units, /dev/block/sda and sdb
#   emmc  two 4 MiB eMMC boot partitions, /dev/block/mmcblk0boot0 and 1
#   none  no boot storage at all
#
# Steps: installs what is missing (scripts/setup.sh), builds the static arm64
# quillmap (preset aarch64), builds the arm64 guest (testing/vm/build-guest.sh)
# and boots it under QEMU, where testing/vm/demo/report.sh runs quillmap and
# prints its log, the device-mapper devices with their tables, the device
# nodes and links, and a byte comparison of each new device with its boot
# region. Exits non-zero when a step fails or a comparison does not match.
set -euo pipefail
cd "$(dirname "$0")/.."

layout=ufs
while [ $# -gt 0 ]; do
  case "$1" in
    --layout) layout=${2:-}; shift 2 ;;
    --layout=*) layout=${1#--layout=}; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument '$1' (usage: scripts/demo.sh [--layout ufs|emmc|none])" >&2; exit 2 ;;
  esac
done
case "$layout" in
  ufs) disks=(--disk sda=hex:55465300:4M --disk sdb=hex:55465300:4M)
       what='two 4 MiB UFS boot units (/dev/block/sda, /dev/block/sdb), header "UFS\0"' ;;
  emmc) disks=(--disk mmcblk0boot0=EMMC:4M --disk mmcblk0boot1=EMMC:4M)
       what='two 4 MiB eMMC boot partitions (/dev/block/mmcblk0boot0, mmcblk0boot1), header "EMMC"' ;;
  none) disks=()
       what='no boot storage' ;;
  *) echo "demo: --layout must be ufs, emmc or none" >&2; exit 2 ;;
esac

step() { printf '\n>>> %s\n' "$*"; }

step "Installing missing host packages (scripts/setup.sh)"
scripts/setup.sh

step "Building the static arm64 quillmap (cmake preset aarch64)"
cmake --preset aarch64 >/dev/null
cmake --build --preset aarch64 --target quillmap -j2 | tail -n 1
program=build/aarch64/tool/quillmap
[ -x "$program" ] || { echo "demo: $program was not built" >&2; exit 1; }

step "Preparing the arm64 guest (Debian cloud kernel + busybox, cached)"
testing/vm/build-guest.sh arm64

step "Booting an emulated arm64 device with $what"
testing/vm/run-guest.sh --arch arm64 "${disks[@]}" --timeout 180 \
  --file "$program:/system/bin/quillmap" -- testing/vm/demo/report.sh
