# The quillmap program on the real kernel, with the device-manager stand-in:
# which devices it makes for each kind of boot storage, what it leaves alone,
# the recovery-mode fallback and the size limits. Guest disks (see
# CMakeLists.txt): ufs_a, ufs_b (4 MiB, "UFS1" and "UFS" + 0xff), emmc_a,
# emmc_b ("EMMC"), comb_a, comb_b ("COMB"), big (3 GiB, "UFS2"), tiny
# (4096 bytes, "UFS3").
. /usr/lib/quillmap-guest/lib.sh

not_found() { printf 'quillmap E Device /dev/block/%s not found.' "$1"; }
busy() {
  printf '%s' 'quillmap E dm\.cpp:[0-9]+\] DM_DEV_CREATE failed for \['"$1"'\]: Device or resource busy'
}

# One kind of storage at a time: both devices made, the other kind reported
# missing, nothing else said.
for kind in "UFS sda=ufs_a sdb=ufs_b 8 8184 sda sdb mmcblk0boot0 mmcblk0boot1" \
            "eMMC mmcblk0boot0=emmc_a mmcblk0boot1=emmc_b 4 8188 mmcblk0boot0 mmcblk0boot1 sda sdb" \
            "COMB mmcblk0boot0=comb_a mmcblk0boot1=comb_b 8 8184 mmcblk0boot0 mmcblk0boot1 sda sdb"; do
  set -- $kind
  begin_case "$1 only"
  use_disks "$2" "$3"
  run_quillmap
  expect_created preloader_raw_a
  expect_created preloader_raw_b
  expect_line "$(not_found "$8")"
  expect_line "$(not_found "$9")"
  expect_line_count 4
  expect_mapping preloader_raw_a "$6" "$4" "$5"
  expect_mapping preloader_raw_b "$7" "$4" "$5"
  remove_all_devices
done

# These two runs are as the service's: with only CAP_SYS_ADMIN, and every
# line read back from the kernel log.
begin_case "the service's capabilities"
check "$(/bin/only_sys_admin /bin/busybox grep CapEff /proc/self/status)" \
  "$(printf 'CapEff:\t%016x' $((1 << 21)))" "capabilities left by only_sys_admin"

begin_case "UFS and eMMC"
use_disks sda=ufs_a sdb=ufs_b mmcblk0boot0=emmc_a mmcblk0boot1=emmc_b
run_quillmap_kmsg /bin/only_sys_admin
expect_created preloader_raw_a
expect_created preloader_raw_b
expect_lines 1 "$(busy preloader_raw_a)"
expect_lines 1 "$(busy preloader_raw_b)"
expect_line "quillmap E Failed to create device preloader_raw_a."
expect_line "quillmap E Failed to create device preloader_raw_b."
expect_line_count 6
expect_mapping preloader_raw_a sda 8 8184 16
expect_mapping preloader_raw_b sdb 8 8184 16
before="$(dm_uuid preloader_raw_a) $(dm_table preloader_raw_a) $(dm_uuid preloader_raw_b) $(dm_table preloader_raw_b)"

begin_case "UFS and eMMC, second run"
run_quillmap_kmsg /bin/only_sys_admin
for name in preloader_raw_a preloader_raw_b; do
  expect_lines 2 "$(busy "$name")"
  expect_lines 2 "quillmap E Failed to create device $name\\."
done
expect_line_count 8
after="$(dm_uuid preloader_raw_a) $(dm_table preloader_raw_a) $(dm_uuid preloader_raw_b) $(dm_table preloader_raw_b)"
check "$after" "$before" "uuids and tables after the second run"
for name in preloader_raw_a preloader_raw_b; do
  check "$(dmsetup info -c --noheadings -o attr "$name")" "L--w" "state of $name"
done
expect_mapping preloader_raw_a sda 8 8184 16
expect_mapping preloader_raw_b sdb 8 8184 16
remove_all_devices

# Old recovery images (marker present, SDK 29 or older, not A/B) get the
# legacy wait; everything else keeps the link wait and says nothing.
legacy='quillmap I dm\.cpp:[0-9]+\] Detected ueventd incompatibility, reverting to legacy libdm behavior\.'
use_disks sda=ufs_a sdb=ufs_b
for setting in "yes 29 - 2" "yes 28 - 2" "yes 30 - 0" "yes 29 true 0" \
               "no 29 - 0" "yes - - 0"; do
  set -- $setting
  [ "$2" = - ] && sdk= || sdk=$2
  [ "$3" = - ] && ab= || ab=$3
  begin_case "recovery marker $1, sdk '$sdk', ab_update '$ab'"
  set_recovery "$1" "$sdk" "$ab"
  run_quillmap
  expect_lines "$4" "$legacy"
  expect_created preloader_raw_a
  expect_created preloader_raw_b
  # The mapping itself was compared in full above; the first sectors tell
  # whether it is the same.
  expect_mapping preloader_raw_a sda 8 8184 16
  expect_mapping preloader_raw_b sdb 8 8184 16
  remove_all_devices
done
rm -rf /system

begin_case "3 GiB region and a region of only its reserve"
use_disks sda=big sdb=tiny
run_quillmap
expect_created preloader_raw_a
expect_line "quillmap E Device /dev/block/sdb is too small."
expect_line_count 4
# 3 GiB / 512 - 8 sectors; the bytes are compared over the first 2 MiB.
expect_mapping preloader_raw_a sda 8 6291448 4096
expect_no_device preloader_raw_b
remove_all_devices

finish
