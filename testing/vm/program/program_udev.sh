# The quillmap program under Debian's systemd-udevd, which probes every new
# device as a real system does: the devices get their nodes and links, which
# go with them. Disks: ufs_a, ufs_b (see program_devmgr.sh).
. /usr/lib/quillmap-guest/lib.sh

begin_case "under udev"
use_disks sda=ufs_a sdb=ufs_b
run_quillmap
expect_made 4 mmcblk0boot0 mmcblk0boot1
expect_mapping preloader_raw_a sda 8 8184 16
expect_mapping preloader_raw_b sdb 8 8184 16
# udev's probe holds a new device open for a moment, and a removal meeting
# it fails EBUSY: remove once every probe is done.
udevadm settle --timeout=30
remove_all_devices
expect_no_devices

finish
