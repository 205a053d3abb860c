# The quillmap program under SELinux, enforcing, with the device-manager
# stand-in (the boot of run-guest.sh --selinux, under mdev): our policy built
# with the platform's base (every domain but quillmap permissive, so only
# quillmap's own denials can stop anything), the files and nodes labelled as
# on a device, and the program entered as init enters it, stdio on
# /dev/null (init_stand_in). Each run must make both devices, put every line
# in the kernel log and cause no denial in the quillmap domain:
# - normal boot: init's domain (the stand-in is init_exec, entered from the
#   kernel's), then the program's exec type quillmap_exec;
# - recovery: the recovery policy, the program's file unlabelled (rootfs, as
#   recovery's ramdisk has it) and the init file's seclabel.
# And the check can fail: with a policy whose only change is the missing
# kmsg rule, a denial shows in the quillmap domain and the program's lines
# are missing from the kernel log.
# The policies (built from sepolicy/ by the tree) are under $policies; the
# guest disks are ufs_a and ufs_b (see program_devmgr.sh).
. /usr/lib/quillmap-guest/lib.sh

policies=/usr/lib/quillmap-guest/selinux
domain=u:r:quillmap:s0

label() {
  setlabel "u:object_r:$1:s0" "$2" || fail "cannot label $2 $1"
}

# Loads policy $1 and enforces it. The kernel takes a policy only in one
# write (busybox cat writes in pieces).
load_policy() {
  dd if="$policies/$1" of=/sys/fs/selinux/load bs=4M 2>/dev/null ||
    fail "the kernel refused policy $1"
  echo 1 >/sys/fs/selinux/enforce
  check "$(cat /sys/fs/selinux/enforce)" 1 "enforcing with $1"
}

# The candidates of use_disks, labelled as sepolicy/file_contexts does.
use_boot_disks() {
  use_disks "$@"
  for pair in "$@"; do label quillmap_boot_block_device "/dev/block/${pair%%=*}"; done
}

# The quillmap domain's denials since run_quillmap_kmsg cleared the log.
denials() {
  dmesg | grep 'avc: *denied' | grep -F "scontext=$domain"
}

# run_selinux [-s CONTEXT]: the program through init_stand_in; it makes both
# devices, every line reaches the kernel log, no denial; then they go again.
run_selinux() {
  run_quillmap_kmsg /bin/init_stand_in "$@"
  expect_created preloader_raw_a
  expect_created preloader_raw_b
  expect_line "quillmap E Device /dev/block/mmcblk0boot0 not found."
  expect_line "quillmap E Device /dev/block/mmcblk0boot1 not found."
  expect_line_count 4
  check "$(denials)" "" "denials in the quillmap domain"
  remove_all_devices
}

begin_case "normal boot, enforcing"
load_policy normal
# What exists before the load carries no label yet: the folders the stand-in
# made for the boot's first devices (run-each.sh) as well.
for dir in $(find /dev/block -type d); do label block_device "$dir"; done
label null_device /dev/null
label kmsg_device /dev/kmsg
label dm_device /dev/device-mapper
label init_exec /bin/init_stand_in
label quillmap_exec /bin/quillmap
use_boot_disks sda=ufs_a sdb=ufs_b
run_selinux

# The same entry with the kmsg rule missing: the lines are lost, and the
# denial names the rule. The devices are made all the same.
begin_case "normal boot, without the kernel log's rule"
load_policy no_kmsg
run_quillmap_kmsg /bin/init_stand_in
expect_line_count 0
denials | sed 's/^/   avc| /'
checks=$((checks + 1))
denials | grep -q 'tcontext=u:object_r:kmsg_device:s0' ||
  fail "no denial of /dev/kmsg in the quillmap domain"
check "$(dmsetup ls | grep -c preloader_raw_)" 2 "devices made"
remove_all_devices

begin_case "recovery, enforcing"
load_policy recovery
# A new file carries no label: rootfs, as on recovery's ramdisk.
cp /bin/quillmap /bin/quillmap.new && mv /bin/quillmap.new /bin/quillmap
rm -rf /system
mkdir -p /system/bin
: >/system/bin/recovery
run_selinux -s "$domain"
rm -rf /system

finish
