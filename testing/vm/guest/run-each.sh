#!/bin/sh
# The payload of a real-kernel test boot (cmake/QuillmapGuest.cmake): runs
# each of its arguments as one command line (split at blanks), one after the
# other, so that every test of a device-manager mode shares one boot. Before
# each it prints "==== <command>", after it "==== exit <status>: <command>";
# a command's own output names its failing cases. Exits 1 after the last
# command when any failed, listing them, else 0.
failed=
for cmd in "$@"; do
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
