#!/usr/bin/env bash
# Runs the real quillmap under valgrind's memcheck in a fake-kernel sandbox
# with all four candidates (two become devices, two meet taken names) and
# fails on any memory error or leak, or on lines other than expected.
# Usage: memcheck.sh VALGRIND QUILLMAP LIBFAKEDM
set -euo pipefail
valgrind=$1 quillmap=$2 fakedm=$3

root=$(mktemp -d /tmp/quillmap_memcheck.XXXXXX)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/dev/block"
: > "$root/dev/device-mapper"
disk() { printf '%b' "$2" > "$root/dev/block/$1"; truncate -s 4M "$root/dev/block/$1"; }
disk sda 'UFS\0'
disk sdb 'COMB'
disk mmcblk0boot0 'EMMC'
disk mmcblk0boot1 'EMMC'

log=$root/log
FAKEDM_ROOT=$root LD_PRELOAD=$fakedm "$valgrind" --quiet --error-exitcode=99 \
  --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite,indirect,possible \
  "$quillmap" 2> "$log" || { echo "memcheck failed:"; cat "$log"; exit 1; }
cat "$log"
grep -q 'Created DM device preloader_raw_a at /dev/block/dm-0.' "$log"
grep -q 'Created DM device preloader_raw_b at /dev/block/dm-1.' "$log"
[ "$(grep -c 'Failed to create device' "$log")" -eq 2 ]
[ "$(cat "$root/.fakedm/open_fds")" -eq 0 ]
echo "memcheck: clean"
