# The quillmap program under Debian's systemd-udevd (the guest's init starts
# it and waits for its answer), which probes every new device as a real
# system does: the devices get their nodes and links, which go with them.
# Guest disks: ufs_a, ufs_b (see program_devmgr.sh).
. /usr/lib/quillmap-guest/lib.sh

begin_case "under udev"
use_disks sda=ufs_a sdb=ufs_b
run_quillmap
expect_created preloader_raw_a
expect_created preloader_raw_b
expect_line "quillmap E Device /dev/block/mmcblk0boot0 not found."
expect_line "quillmap E Device /dev/block/mmcblk0boot1 not found."
expect_line_count 4
expect_mapping preloader_raw_a sda 8 8184 16
expect_mapping preloader_raw_b sdb 8 8184 16
# udev's probe holds a new device open for a moment, and a removal meeting
# it fails EBUSY: remove once every probe is done.
udevadm settle --timeout=30
remove_all_devices
expect_no_devices

finish
