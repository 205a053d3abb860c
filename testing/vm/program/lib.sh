# Helpers for the quillmap guest payloads (sourced by busybox sh inside a
# guest made by testing/vm/run-guest.sh; the program is /bin/quillmap).
#
# The guest's disks carry names of their own (ufs_a, emmc_a, ...); a case
# chooses which of them stand behind the program's candidate paths with
# use_disks. Checks never stop the payload: each failed one prints
# "FAIL: <case>: <what>" and is counted, and finish() turns the count into
# the exit status, so one run shows every mismatch.

failures=0
checks=0
case_name=
log=/tmp/quillmap.log

# The candidate paths the program looks at.
candidates="sda sdb mmcblk0boot0 mmcblk0boot1"

begin_case() {
  case_name=$1
  read -r up _ </proc/uptime
  echo "== $case_name (uptime $up s)"
}

fail() {
  failures=$((failures + 1))
  echo "FAIL: $case_name: $*"
}

check() {
  checks=$((checks + 1))
  if [ "$1" != "$2" ]; then
    fail "$3: got '$1', want '$2'"
  fi
}

finish() {
  read -r up _ </proc/uptime
  echo "== $checks checks, $failures failed (uptime $up s)"
  [ "$failures" -eq 0 ]
}

# "MAJ:MIN" of a block node.
majmin() {
  set -- $(stat -L -c '%t %T' "$1")
  echo "$((0x$1)):$((0x$2))"
}

# Seconds since boot with two decimals, as a whole number of milliseconds.
uptime_ms() {
  read -r up _ </proc/uptime
  echo $(( ${up%.*} * 1000 + 1${up#*.}0 - 1000 ))
}

# use_disks [CANDIDATE=DISK]...: only the named candidates exist afterwards,
# each a node of the guest disk DISK.
use_disks() {
  for c in $candidates; do rm -f "/dev/block/$c"; done
  for pair in "$@"; do
    dev=$(majmin "/dev/block/${pair#*=}")
    mknod "/dev/block/${pair%%=*}" b "${dev%%:*}" "${dev##*:}"
  done
}

# Runs the program; its combined log lines ("quillmap <S> text") go to $log
# and, indented, to the payload's output for the record.
run_quillmap() {
  /bin/quillmap >"$log" 2>&1
  status=$?
  kmsg=
  sed 's/^/   | /' "$log"
  check "$status" 0 "exit status"
}

# run_quillmap_kmsg [LAUNCHER]: runs the program as init does on a user
# build (through LAUNCHER if given): its stdout and stderr at /dev/null, the
# kernel's rate limit on /dev/kmsg on. $log then holds its records as
# "quillmap: text", and the expectations below drop their severity letter to
# match (which level each severity gets is the host's kernel_log_test); a
# line the limit dropped is missing, and the kernel's "output lines
# suppressed" note is one line too many.
run_quillmap_kmsg() {
  echo ratelimit >/proc/sys/kernel/printk_devkmsg
  dmesg -c >/dev/null
  "$@" /bin/quillmap >/dev/null 2>&1
  status=$?
  kmsg='quillmap: '
  echo on >/proc/sys/kernel/printk_devkmsg
  dmesg -r | sed -nE 's/^<[0-9]+>(\[[^]]*\] )?quillmap: /quillmap: /p' >"$log"
  sed 's/^/   k| /' "$log"
  check "$status" 0 "exit status"
}

# The expectation $1 in the form of the last run's log.
as_logged() { printf '%s' "$1" | sed "s/^quillmap [A-Z] /${kmsg:-&}/"; }

# expect_line TEXT: the log has a line that is exactly TEXT.
expect_line() {
  checks=$((checks + 1))
  grep -qxF -- "$(as_logged "$1")" "$log" || fail "no line '$1'"
}

# expect_lines COUNT REGEX: the log has COUNT lines matching REGEX (ERE,
# whole line).
expect_lines() {
  checks=$((checks + 1))
  n=$(grep -cxE -- "$(as_logged "$2")" "$log")
  [ "$n" -eq "$1" ] || fail "$n lines match '$2', want $1"
}

expect_line_count() {
  check "$(wc -l <"$log" | tr -d ' ')" "$1" "number of log lines"
}

# dmsetup's view of a device: "uuid", "minor", or the table line.
dm_uuid() { dmsetup info -c --noheadings -o uuid "$1" 2>/dev/null; }
dm_minor() { dmsetup info -c --noheadings -o minor "$1" 2>/dev/null; }
dm_table() { dmsetup table "$1" 2>/dev/null; }

# expect_created NAME: the log reports device NAME made at its real node.
expect_created() {
  node=/dev/block/dm-$(dm_minor "$1")
  expect_line "quillmap I Created DM device $1 at $node."
}

# expect_mapping NAME DISK RESERVED SECTORS [COMPARE]: device NAME exists,
# maps SECTORS sectors of the candidate node DISK from sector RESERVED, has
# its link to its node, and reads as DISK does from RESERVED on (the first COMPARE
# sectors; all by default).
expect_mapping() {
  name=$1 disk=/dev/block/$2 reserved=$3 sectors=$4 compare=${5:-$4}
  check "$(dm_table "$name")" "0 $sectors linear $(majmin "$disk") $reserved" \
    "table of $name"
  node=/dev/block/dm-$(dm_minor "$name")
  uuid=$(dm_uuid "$name")
  check "$(readlink "/dev/block/mapper/by-uuid/${uuid:-none}")" \
    "$node" "link of $name"
  checks=$((checks + 1))
  if ! dd if="$disk" bs=512 skip="$reserved" count="$compare" 2>/dev/null |
      cmp -s -n $((compare * 512)) - "$node"; then
    fail "$node does not read as $disk from sector $reserved"
  fi
}

expect_no_devices() {
  check "$(dmsetup ls)" "No devices found" "dmsetup ls"
  checks=$((checks + 1))
  for d in /sys/block/dm-*; do
    [ -e "$d" ] && fail "$d exists"
  done
}

# Removes every device-mapper device and waits (up to 5 s) until the stand-in
# has removed their nodes and links, so that the next case starts clean.
remove_all_devices() {
  dmsetup remove_all --noudevsync >/dev/null 2>&1
  tries=0
  while ls /dev/block/dm-* /dev/block/mapper/by-uuid/* >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ "$tries" -gt 500 ]; then
      fail "nodes or links outlived their devices: $(ls /dev/block/dm-* /dev/block/mapper/by-uuid/* 2>&1)"
      return
    fi
    usleep 10000
  done
}

# set_recovery MARKER SDK AB_UPDATE: the recovery marker (yes/no) and the
# properties of /system/build.prop ("" leaves a property out).
set_recovery() {
  rm -rf /system
  mkdir -p /system/bin
  [ "$1" = yes ] && : >/system/bin/recovery
  : >/system/build.prop
  [ -n "$2" ] && echo "ro.build.version.sdk=$2" >>/system/build.prop
  [ -n "$3" ] && echo "ro.build.ab_update=$3" >>/system/build.prop
  return 0
}
