#!/bin/sh
# The guest's device-manager stand-in, run for every uevent of a dm-<minor>
# block device by `mdev -d` (guest/mdev.conf) or systemd-udevd
# (guest/udev/50-quillmap-block.rules), with ACTION, MAJOR and MINOR set.
# add/change: makes /dev/block/dm-<minor> (labelled dm_device under SELinux,
#   as ueventd does), then, unless /run/quillmap-dm/no-uuid-link exists, the
#   absolute link /dev/block/mapper/by-uuid/<uuid> to it for the uuid sysfs
#   shows, dropping the one linked for this minor before if it differs.
# remove: unlinks the uuid linked for this minor, then deletes the node.
# Uevents carry no uuid and sysfs is gone at removal, so the linked uuid is
# kept in /run/quillmap-dm/<minor>. An event handled late may see a newer
# device on the minor, whose uuid belongs to this node too: a link never
# points at a missing node, and only links to this node are deleted.
# It tells the kernel's log each node and link ("quillmap-dm: node dm-<minor>",
# "quillmap-dm: link <uuid> dm-<minor>", once ln returned), for payloads and
# bench-create.sh. Forks cost milliseconds under TCG: the add path reads
# with the shell's `read` and runs only mknod and ln.
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
