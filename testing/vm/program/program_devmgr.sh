# The quillmap program on the real kernel, with the device-manager stand-in:
# the devices it makes as the kernel reports them (dmsetup) and the bytes
# they read, the service's run (only CAP_SYS_ADMIN, lines read back from the
# kernel log), and a second run meeting the kernel's EBUSY. Which lines each
# kind of storage gives is the walk's, tool/walk_test.cpp. Guest disks (the
# "program" and "mapping" groups of cmake/QuillmapGuest.cmake): ufs_a, ufs_b
# (4 MiB, "UFS1" and "UFS" + 0xff), emmc_a, emmc_b ("EMMC"), big (3 GiB).
. /usr/lib/quillmap-guest/lib.sh

busy() {
  printf '%s' 'quillmap E dm\.cpp:[0-9]+\] DM_DEV_CREATE failed for \['"$1"'\]: Device or resource busy'
}

# What the byte comparisons below rest on: every guest disk's pattern
# differs from sector to sector and from disk to disk, up to the end of a
# small disk. And run-guest.sh hands a value with a quote and blanks to the
# payload unchanged (its --file copies are this script's lib.sh and
# programs).
begin_case "the guest's disks and environment"
sector() { dd if="/dev/block/$1" bs=512 skip="$2" count=1 2>/dev/null | md5sum; }
checks=$((checks + 1))
[ "$(sector ufs_a 8)" != "$(sector ufs_a 9)" ] || fail "sectors 8 and 9 of ufs_a are equal"
checks=$((checks + 1))
[ "$(sector ufs_a 8)" != "$(sector emmc_b 8)" ] || fail "ufs_a and emmc_b are equal"
checks=$((checks + 1))
[ "$(dd if=/dev/block/emmc_b bs=512 skip=8191 2>/dev/null | tr -d '\000' | wc -c)" -gt 0 ] ||
  fail "the last sector of emmc_b is zeros"
check "$QUILLMAP_SMOKE_VALUE" "it's two words" "value handed over by --env"
check "$TERM" dumb "TERM"

# The real kernel's mappings: from sector 8 of a UFS unit, from sector 4 of
# an eMMC partition, and of a region over 2 GiB (the kernel's view of a
# length beyond 32 bits of bytes). Each device's bytes are compared with
# the backing disk's from its reserve on (all of the eMMC region, the first
# 2 MiB of the large one).
begin_case "UFS and eMMC, one each"
use_disks sda=big mmcblk0boot1=emmc_b
run_quillmap
expect_created preloader_raw_a
expect_created preloader_raw_b
expect_line "quillmap E Device /dev/block/sdb not found."
expect_line "quillmap E Device /dev/block/mmcblk0boot0 not found."
expect_line_count 4
# 3 GiB / 512 - 8 sectors.
expect_mapping preloader_raw_a sda 8 6291448 4096
expect_mapping preloader_raw_b mmcblk0boot1 4 8188
remove_all_devices

# These two runs are as the service's (init_stand_in): with CAP_SYS_ADMIN
# alone in every capability set, stdio on /dev/null and no other descriptor,
# and every line read back from the kernel log.
begin_case "the service's capabilities and descriptors"
# Its service here is a sleep, looked at once the exec has made it busybox.
/bin/init_stand_in /bin/busybox sleep 60 &
pid=$!
tries=0
until [ "$(cat /proc/$pid/comm 2>/dev/null)" = busybox ] || [ "$tries" -ge 500 ]; do
  tries=$((tries + 1))
  usleep 10000
done
for set in Inh Prm Eff Bnd Amb; do
  check "$(grep "^Cap$set:" /proc/$pid/status)" \
    "$(printf 'Cap%s:\t%016x' $set $((1 << 21)))" "Cap$set left by init_stand_in"
done
fds=$(ls /proc/$pid/fd)
for fd in $fds; do fds="$fds $(readlink /proc/$pid/fd/$fd)"; done
check "$(echo $fds)" "0 1 2 /dev/null /dev/null /dev/null" "descriptors left by init_stand_in"
kill $pid

begin_case "UFS and eMMC"
use_disks sda=ufs_a sdb=ufs_b mmcblk0boot0=emmc_a mmcblk0boot1=emmc_b
run_quillmap_kmsg /bin/init_stand_in
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
run_quillmap_kmsg /bin/init_stand_in
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
remove_all_devices

finish
