#!/bin/sh
# Device-mapper nodes and links for the guest's systemd-udevd (run-guest.sh
# --devmgr udev), run by udev/50-quillmap-block.rules for every uevent of a
# dm-N block device. udev passes the device's properties as the environment:
# ACTION, MAJOR, MINOR and, from udev/60-quillmap-dm-uuid.rules,
# QUILLMAP_DM_UUID (the uuid to link; udev keeps it in its database, so the
# remove event still carries it although sysfs is gone by then) and
# QUILLMAP_DM_OLD_UUID (the uuid the device's previous event linked).
#
# add/change: makes the block node /dev/block/dm-<minor>, then unlinks the
#   old uuid if it differs and links the current one as
#   /dev/block/mapper/by-uuid/<uuid> -> ../../dm-<minor>.
# remove: unlinks the current uuid, then deletes the node.
# A link thus never points at a missing node (waiters test the link with
# access(), which follows it). Only links to ../../dm-<minor> are deleted:
# another device may have taken the uuid since. The layout is the one
# guest/dm-event.sh makes under mdev.
PATH=/sbin:/bin:/usr/sbin:/usr/bin
umask 022
node=/dev/block/dm-$MINOR
links=/dev/block/mapper/by-uuid

unlink_uuid() {
  [ -n "$1" ] && [ "$(readlink "$links/$1")" = "../../dm-$MINOR" ] &&
    rm -f "$links/$1"
}

case "$ACTION" in
  add|change)
    [ -e "$node" ] || mknod "$node" b "$MAJOR" "$MINOR"
    [ "$QUILLMAP_DM_OLD_UUID" = "$QUILLMAP_DM_UUID" ] ||
      unlink_uuid "$QUILLMAP_DM_OLD_UUID"
    # Replacing a link that is already right would take it away for a moment.
    if [ -n "$QUILLMAP_DM_UUID" ] &&
       [ "$(readlink "$links/$QUILLMAP_DM_UUID")" != "../../dm-$MINOR" ]; then
      mkdir -p "$links"
      ln -sfn "../../dm-$MINOR" "$links/$QUILLMAP_DM_UUID"
    fi
    ;;
  remove)
    unlink_uuid "$QUILLMAP_DM_UUID"
    rm -f "$node"
    ;;
esac
exit 0
