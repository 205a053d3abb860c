# The quillmap program on the real kernel without the device-manager
# stand-in: every creation waits out its 500 ms for a link that never comes,
# then the device is removed again. With a helper that makes only the nodes,
# old recovery images (which wait for the node) succeed where others fail.
# Guest disks (see CMakeLists.txt): ufs_a, ufs_b (4 MiB, "UFS1" and "UFS" +
# 0xff).
. /usr/lib/quillmap-guest/lib.sh

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
# Two whole waits of 500 ms each, at least (uptime counts in 10 ms steps).
checks=$((checks + 1))
[ "$elapsed" -ge 990 ] || fail "the program gave up after $elapsed ms"
expect_no_devices

# A stand-in for old recovery images' ueventd: makes /dev/block/dm-N for
# every device with a table, and no links. Records what it made.
make_nodes() {
  while :; do
    for d in /sys/block/dm-*; do
      n=/dev/block/${d##*/}
      [ -e "$n" ] && continue
      dev=$(cat "$d/dev" 2>/dev/null) || continue
      mknod "$n" b "${dev%%:*}" "${dev##*:}" 2>/dev/null && echo "$n" >>/tmp/nodes
    done
    usleep 5000
  done
}
# Not on the payload's output: the guest's result port opens only once at a
# time, and init reopens it when the payload ends.
make_nodes </dev/null >/dev/null 2>&1 &
helper=$!

for setting in "yes 29 made" "no 29 failed" "yes 30 failed"; do
  set -- $setting
  begin_case "nodes only, recovery marker $1, sdk $2"
  set_recovery "$1" "$2" ""
  rm -f /tmp/nodes /dev/block/dm-*
  run_quillmap
  if [ "$3" = made ]; then
    expect_lines 2 'quillmap I dm\.cpp:[0-9]+\] Detected ueventd incompatibility, reverting to legacy libdm behavior\.'
    expect_created preloader_raw_a
    expect_created preloader_raw_b
    expect_line_count 6
    checks=$((checks + 1))
    [ -e /dev/block/mapper ] && fail "a link exists: $(ls -R /dev/block/mapper)"
    dmsetup remove_all
  else
    expect_lines 0 'quillmap I .*Detected ueventd incompatibility.*'
    expect_lines 2 "$(wait_failed_re "/dev/block/mapper/by-uuid/$uuid_re")"
    expect_line "quillmap E Failed to create device preloader_raw_a."
    expect_line "quillmap E Failed to create device preloader_raw_b."
    expect_line_count 6
  fi
  # The helper made nodes in the failing cases too (the devices there come
  # one after the other and may share a minor, so one node may serve both):
  # what differs is the path the program waited for.
  made=$(sort -u /tmp/nodes 2>/dev/null | wc -l)
  checks=$((checks + 1))
  if [ "$3" = made ]; then
    [ "$made" -eq 2 ] || fail "the helper made $made nodes, want 2"
  else
    [ "$made" -ge 1 ] || fail "the helper made no node"
  fi
  expect_no_devices
done
kill "$helper"
wait "$helper" 2>/dev/null
rm -rf /system

finish
