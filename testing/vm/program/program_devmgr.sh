# The quillmap program on the real kernel with the device-manager stand-in:
# the devices it makes as dmsetup sees them and the bytes they read, the
# service's run (only CAP_SYS_ADMIN, lines read back from the kernel log), and
# a second run meeting the kernel's EBUSY. Which lines each kind of storage
# gives is tool/walk_test.cpp's. Disks: ufs_a, ufs_b (4 MiB, "UFS1" and
# "UFS" + 0xff), emmc_a, emmc_b ("EMMC"), big (3 GiB).
. /usr/lib/quillmap-guest/lib.sh

busy() {
  printf '%s' 'quillmap E dm\.cpp:[0-9]+\] DM_DEV_CREATE failed for \['"$1"'\]: Device or resource busy'
}
state() { for n in preloader_raw_a preloader_raw_b; do echo "$(dm_uuid $n) $(dm_table $n)"; done; }

# What the byte comparisons rest on: every disk's pattern differs from sector
# to sector and from disk to disk, up to the end of a small disk; and
# run-guest.sh hands a value with a quote and blanks over unchanged.
begin_case "the guest's disks and environment"
sector() { dd if="/dev/block/$1" bs=512 skip="$2" count=1 2>/dev/null | md5sum; }
ok [ "$(sector ufs_a 8)" != "$(sector ufs_a 9)" ] || fail "sectors 8 and 9 of ufs_a are equal"
ok [ "$(sector ufs_a 8)" != "$(sector emmc_b 8)" ] || fail "ufs_a and emmc_b are equal"
ok [ "$(dd if=/dev/block/emmc_b bs=512 skip=8191 2>/dev/null | tr -d '\000' | wc -c)" -gt 0 ] ||
  fail "the last sector of emmc_b is zeros"
check "$QUILLMAP_SMOKE_VALUE" "it's two words" "value handed over by --env"
check "$TERM" dumb "TERM"

# From sector 8 of a UFS unit, from sector 4 of an eMMC partition, and a
# region over 2 GiB (a length beyond 32 bits of bytes); bytes compared from
# the reserve on (all of the eMMC region, the first 2 MiB of the large one).
begin_case "UFS and eMMC, one each"
use_disks sda=big mmcblk0boot1=emmc_b
run_quillmap
expect_made 4 sdb mmcblk0boot0
# 3 GiB / 512 - 8 sectors.
expect_mapping preloader_raw_a sda 8 6291448 4096
expect_mapping preloader_raw_b mmcblk0boot1 4 8188
remove_all_devices

# The next two runs are the service's (init_stand_in): CAP_SYS_ADMIN alone in
# every set, stdio on /dev/null and no other descriptor, lines read back from
# the kernel log. Here its service is a sleep, looked at once it is busybox.
begin_case "the service's capabilities and descriptors"
/bin/init_stand_in /bin/busybox sleep 60 &
pid=$!
is_busybox() { [ "$(cat /proc/$pid/comm 2>/dev/null)" = busybox ]; }
wait_until is_busybox
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
expect_made 6
for name in preloader_raw_a preloader_raw_b; do
  expect_lines 1 "$(busy $name)"
  expect_line "quillmap E Failed to create device $name."
done
expect_mapping preloader_raw_a sda 8 8184 16
expect_mapping preloader_raw_b sdb 8 8184 16
before=$(state)

begin_case "UFS and eMMC, second run"
run_quillmap_kmsg /bin/init_stand_in
expect_line_count 8
for name in preloader_raw_a preloader_raw_b; do
  expect_lines 2 "$(busy $name)"
  expect_lines 2 "quillmap E Failed to create device $name\\."
  check "$(dmsetup info -c --noheadings -o attr $name)" "L--w" "state of $name"
done
check "$(state)" "$before" "uuids and tables after the second run"
remove_all_devices

finish
