# The quillmap program on the real kernel without the device-manager
# stand-in: every creation waits out its time-out for a link that never
# comes, then the device is removed again. With the stand-in making only
# nodes, an old recovery image (which waits for the node) succeeds; which
# images wait for the node is dm_create_test's
# RecoveryModeChoosesThePathToWaitFor. Disks: ufs_a, ufs_b (see program_devmgr.sh).
. /usr/lib/quillmap-guest/lib.sh

legacy_re='quillmap I dm\.cpp:[0-9]+\] Detected ueventd incompatibility, reverting to legacy libdm behavior\.'
uuid_re='[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}'
wait_failed_re() {
  printf '%s' 'quillmap E dm\.cpp:[0-9]+\] Failed waiting for device path: '"$1"
}

use_disks sda=ufs_a sdb=ufs_b

begin_case "no device manager"
start=$(uptime_ms)
run_quillmap
elapsed=$(( $(uptime_ms) - start ))
echo "   (program ran $elapsed ms)"
expect_lines 2 "$(wait_failed_re "/dev/block/mapper/by-uuid/$uuid_re")"
expect_line "quillmap E Failed to create device preloader_raw_a."
expect_line "quillmap E Failed to create device preloader_raw_b."
expect_line "quillmap E Device /dev/block/mmcblk0boot0 not found."
expect_line "quillmap E Device /dev/block/mmcblk0boot1 not found."
expect_line_count 6
check "$(grep -oE "by-uuid/$uuid_re" "$log" | sort -u | wc -l)" 2 \
  "distinct uuids waited for"
# Two whole waits of kCreateTimeout (from the build) at least; uptime counts
# in 10 ms steps.
ok [ "$elapsed" -ge $((2 * QUILLMAP_CREATE_TIMEOUT_MS - 10)) ] ||
  fail "the program gave up after $elapsed ms"
expect_no_devices

# An old recovery image with no device manager at all: three lines for each
# of the four candidates, more than the burst of ten the kernel lets one
# opener of /dev/kmsg write (shown first); the program opens the node for
# every line and keeps them all.
begin_case "twelve lines, only in the kernel log"
echo ratelimit >/proc/sys/kernel/printk_devkmsg
dmesg -c >/dev/null
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do echo "one-opener $i"; done >/dev/kmsg
echo on >/proc/sys/kernel/printk_devkmsg
ok [ "$(dmesg | grep -c one-opener)" -lt 12 ] ||
  fail "the kernel took 12 lines from one opener: no limit to test against"
use_disks sda=ufs_a sdb=ufs_b mmcblk0boot0=ufs_a mmcblk0boot1=ufs_b
recovery 29
run_quillmap_kmsg
expect_lines 4 "$legacy_re"
expect_lines 4 "$(wait_failed_re '/dev/block/dm-[0-9]+')"
expect_lines 2 "quillmap E Failed to create device preloader_raw_a\\."
expect_lines 2 "quillmap E Failed to create device preloader_raw_b\\."
expect_line_count 12
expect_no_devices
use_disks sda=ufs_a sdb=ufs_b

# Then the stand-in, started here under mdev with its switch set for nodes
# only (as old recovery images' ueventd): it makes /dev/block/dm-N and no
# links, and tells each node on the kernel's log (not on the payload's
# output: the result port opens once at a time).
: >/run/quillmap-dm/no-uuid-link
mdev -d </dev/null >/dev/null 2>&1 || fail "mdev -d failed"

begin_case "nodes only, an old recovery image"
recovery 29
remove_all_devices
dmesg -c >/dev/null
run_quillmap
expect_lines 2 "$legacy_re"
expect_made 6 mmcblk0boot0 mmcblk0boot1
ok [ ! -e /dev/block/mapper ] || fail "a link exists: $(ls -R /dev/block/mapper)"
check "$(dmesg | grep -c 'quillmap-dm: node dm-')" 2 "nodes the stand-in made"
dmsetup remove_all
expect_no_devices
rm -rf /system

finish
