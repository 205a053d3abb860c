# The quillmap program under SELinux, enforcing, with the stand-in under mdev
# (run-guest.sh --selinux): our policies (every domain but quillmap
# permissive), files and nodes labelled as on a device, and the program
# entered as init enters it (init_stand_in). Each run must make both devices,
# put every line in the kernel log and cause no denial in the quillmap
# domain: in normal boot from init's domain through quillmap_exec; in
# recovery with the recovery policy, the file unlabelled (rootfs) and the
# seclabel. With a policy lacking only the kmsg rule, the denial shows and
# the lines are missing. Disks: ufs_a, ufs_b (see program_devmgr.sh).
. /usr/lib/quillmap-guest/lib.sh

policies=/usr/lib/quillmap-guest/selinux
domain=u:r:quillmap:s0

label() { setlabel "u:object_r:$1:s0" "$2" || fail "cannot label $2 $1"; }

# The kernel takes a policy only in one write (busybox cat writes in pieces).
load_policy() {
  dd if="$policies/$1" of=/sys/fs/selinux/load bs=4M 2>/dev/null ||
    fail "the kernel refused policy $1"
  echo 1 >/sys/fs/selinux/enforce
  check "$(cat /sys/fs/selinux/enforce)" 1 "enforcing with $1"
}

# The quillmap domain's denials since run_quillmap_kmsg cleared the log.
denials() { dmesg | grep 'avc: *denied' | grep -F "scontext=$domain"; }

# run_selinux [-s CONTEXT]: through init_stand_in, both devices made, every
# line in the kernel log, no denial; then they go again.
run_selinux() {
  run_quillmap_kmsg /bin/init_stand_in "$@"
  expect_made 4 mmcblk0boot0 mmcblk0boot1
  check "$(denials)" "" "denials in the quillmap domain"
  remove_all_devices
}

begin_case "normal boot, enforcing"
load_policy normal
# What exists before the load carries no label yet, the folders the stand-in
# made for the boot's first devices (run-each.sh) too.
for dir in $(find /dev/block -type d); do label block_device "$dir"; done
label null_device /dev/null
label kmsg_device /dev/kmsg
label dm_device /dev/device-mapper
label init_exec /bin/init_stand_in
label quillmap_exec /bin/quillmap
use_disks sda=ufs_a sdb=ufs_b
# As sepolicy/file_contexts labels them.
for c in sda sdb; do label quillmap_boot_block_device /dev/block/$c; done
run_selinux

# The kmsg rule missing: the lines are lost and the denial names the rule;
# the devices are made all the same.
begin_case "normal boot, without the kernel log's rule"
load_policy no_kmsg
run_quillmap_kmsg /bin/init_stand_in
expect_line_count 0
denials | sed 's/^/   avc| /'
ok eval 'denials | grep -q "tcontext=u:object_r:kmsg_device:s0"' ||
  fail "no denial of /dev/kmsg in the quillmap domain"
check "$(dmsetup ls | grep -c preloader_raw_)" 2 "devices made"
remove_all_devices

begin_case "recovery, enforcing"
load_policy recovery
# A new file carries no label: rootfs, as on recovery's ramdisk.
cp /bin/quillmap /bin/quillmap.new && mv /bin/quillmap.new /bin/quillmap
recovery
run_selinux -s "$domain"
rm -rf /system

finish
