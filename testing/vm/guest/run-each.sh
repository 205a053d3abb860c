#!/bin/sh
# The payload of a real-kernel test boot (cmake/QuillmapGuest.cmake): runs
# each argument as one command line (split at blanks) in turn, after the
# device manager has handled every uevent so far (the program waits only
# 500 ms for a link), between "==== <command>" and "==== exit <status>:
# <command>". Exits 1 after the last when any failed, naming them, else 0.
devmgr=$(sed -n 's/^QM_DEVMGR=//p' /quillmap/config)
sentinel=quillmap-settle
link=/dev/block/mapper/by-uuid/$sentinel

# Polls (bounded: 60 s) until the test `$@` holds.
wait_until() {
  i=0
  until "$@"; do
    i=$((i + 1))
    [ "$i" -lt 600 ] || return 1
    usleep 100000
  done
}

settle() {
  case "$devmgr" in
    udev) udevadm settle --timeout=60 ;;
    mdev)
      # mdev runs the stand-in for one uevent at a time, in their order:
      # once a new device's link has come and gone, every earlier event is
      # handled.
      dmsetup create --noudevsync "$sentinel" --uuid "$sentinel" \
        --table "0 8 error" >/dev/null &&
        wait_until [ -e "$link" ] &&
        dmsetup remove --noudevsync "$sentinel" >/dev/null &&
        wait_until [ ! -e "$link" ]
      ;;
  esac
}

failed=
for cmd in "$@"; do
  settle || echo "==== the $devmgr device manager did not settle"
  echo "==== $cmd"
  $cmd </dev/null
  status=$?
  echo "==== exit $status: $cmd"
  [ "$status" -eq 0 ] || failed="$failed${failed:+, }$cmd"
done
if [ -n "$failed" ]; then
  echo "==== FAILED: $failed"
  exit 1
fi
echo "==== every command passed"
