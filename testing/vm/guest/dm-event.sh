#!/bin/sh
# Device-manager stand-in for device-mapper disks, run by `mdev -d` for every
# uevent of a dm-N block device (environment: ACTION, MDEV, MAJOR, MINOR).
#
# add/change: makes the block node /dev/block/dm-<minor> and, when the device
#   has a uuid, the link /dev/block/mapper/by-uuid/<uuid> -> ../../dm-<minor>.
# remove: deletes both. The kernel's uevents carry no uuid and sysfs is gone at
#   removal, so the uuid seen at add/change is remembered under /run.
umask 022
state=/run/quillmap-dm
node=/dev/block/dm-$MINOR
mkdir -p "$state"

forget_link() {
  [ -f "$state/$MINOR" ] || return 0
  old=$(cat "$state/$MINOR")
  # Only our own link: another device may have taken the uuid since.
  [ "$(readlink "/dev/block/mapper/by-uuid/$old")" = "../../dm-$MINOR" ] &&
    rm -f "/dev/block/mapper/by-uuid/$old"
  rm -f "$state/$MINOR"
}

case "$ACTION" in
  add|change)
    [ -e "$node" ] || mknod "$node" b "$MAJOR" "$MINOR"
    uuid=$(cat "/sys/block/$MDEV/dm/uuid" 2>/dev/null)
    if [ "$(cat "$state/$MINOR" 2>/dev/null)" != "$uuid" ]; then
      forget_link
    fi
    if [ -n "$uuid" ]; then
      mkdir -p /dev/block/mapper/by-uuid
      echo "$uuid" >"$state/$MINOR"
      ln -sfn "../../dm-$MINOR" "/dev/block/mapper/by-uuid/$uuid"
    fi
    ;;
  remove)
    forget_link
    rm -f "$node"
    ;;
esac
exit 0
