#!/bin/sh
# The guest's device-manager stand-in for device-mapper disks: run for every
# uevent of a dm-<minor> block device, by `mdev -d` (guest/mdev.conf) or by
# systemd-udevd (guest/udev/50-quillmap-block.rules). Environment: ACTION,
# MAJOR, MINOR (both daemons set them).
#
# add/change: makes the block node /dev/block/dm-<minor> (under SELinux
#   labelled dm_device, as ueventd labels it, with the payload's
#   /bin/setlabel), then, unless the
#   switch file /run/quillmap-dm/no-uuid-link exists, the link
#   /dev/block/mapper/by-uuid/<uuid> -> /dev/block/dm-<minor> (absolute, as
#   ueventd makes it) for the uuid that
#   sysfs shows (unlinking the uuid linked for this minor before, if it
#   differs).
# remove: unlinks the uuid linked for this minor, then deletes the node.
# The kernel's uevents carry no uuid and sysfs is gone at removal, so the
# linked uuid is remembered under /run/quillmap-dm/<minor>. A daemon may
# handle an event late, when the device is gone or a newer one holds the
# minor: then sysfs shows the newer device's uuid, which belongs to this node
# as well. A link thus never points at a missing node (waiters test it with
# access(), which follows it), and only links to /dev/block/dm-<minor> are
# deleted: another device may have taken the uuid since.
#
# It tells the kernel's log each node and link it made ("quillmap-dm: node
# dm-<minor>", "quillmap-dm: link <uuid> dm-<minor>", the latter when ln has
# returned: the link appeared at the end of ln's run), so payloads and
# bench-create.sh see when they appeared, on the kernel's clock.
#
# Guests run it under TCG, where every fork costs milliseconds: the add path
# reads files with the shell's own `read` and runs only mknod and ln.
PATH=/sbin:/bin:/usr/sbin:/usr/bin
umask 022
state=/run/quillmap-dm
node=/dev/block/dm-$MINOR
links=/dev/block/mapper/by-uuid
say() { echo "quillmap-dm: $*" >/dev/kmsg 2>/dev/null; }

# The uuid linked for this minor ("" if none).
linked=
{ read -r linked <"$state/$MINOR"; } 2>/dev/null

forget_link() {
  [ -n "$linked" ] || return 0
  [ "$(readlink "$links/$linked")" = "$node" ] && rm -f "$links/$linked"
  rm -f "$state/$MINOR"
}

case "$ACTION" in
  add|change)
    if [ ! -e "$node" ]; then
      mknod "$node" b "$MAJOR" "$MINOR" &&
        { [ ! -e /sys/fs/selinux/enforce ] || setlabel u:object_r:dm_device:s0 "$node"; } &&
        say "node dm-$MINOR"
    fi
    [ -e "$state/no-uuid-link" ] && exit 0
    uuid=
    { read -r uuid <"/sys/block/dm-$MINOR/dm/uuid"; } 2>/dev/null
    # A link already made for this uuid is left alone: replacing it would
    # take it away for a moment.
    if [ -n "$uuid" ] && [ "$uuid" != "$linked" ]; then
      forget_link
      [ -d "$links" ] || mkdir -p "$links"
      ln -sfn "$node" "$links/$uuid" && say "link $uuid dm-$MINOR"
      echo "$uuid" >"$state/$MINOR"
    elif [ -z "$uuid" ]; then
      forget_link
    fi
    ;;
  remove)
    forget_link
    rm -f "$node"
    ;;
esac
exit 0
