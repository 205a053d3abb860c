# Helpers for the quillmap guest payloads, sourced by busybox sh in a guest of
# testing/vm/run-guest.sh (the program is /bin/quillmap). use_disks puts the
# guest's disks (ufs_a, emmc_a, ...) behind the program's candidate paths.
# A failed check prints "FAIL: <case>: <what>" and is counted, and finish
# turns the count into the exit status, so one run shows every mismatch.

failures=0
checks=0
case_name=
log=/tmp/quillmap.log
candidates="sda sdb mmcblk0boot0 mmcblk0boot1"

begin_case() { case_name=$1; read -r up _ </proc/uptime; echo "== $1 (uptime $up s)"; }
fail() { failures=$((failures + 1)); echo "FAIL: $case_name: $*"; }
# ok COMMAND... || fail WHAT: counts one check, passes COMMAND's status on.
ok() { checks=$((checks + 1)); "$@"; }
# check GOT WANT WHAT
check() { ok [ "$1" = "$2" ] || fail "$3: got '$1', want '$2'"; }

finish() {
  read -r up _ </proc/uptime
  echo "== $checks checks, $failures failed (uptime $up s)"
  [ "$failures" -eq 0 ]
}

# wait_until COMMAND...: polls COMMAND every 10 ms, 5 s at most (a function
# when it has to look again each time: the arguments are expanded once).
wait_until() {
  tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ "$tries" -le 500 ] || return 1
    usleep 10000
  done
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

# use_disks [CANDIDATE=DISK]...: only these candidates exist, each a node of DISK.
use_disks() {
  for c in $candidates; do rm -f "/dev/block/$c"; done
  for pair in "$@"; do
    dev=$(majmin "/dev/block/${pair#*=}")
    mknod "/dev/block/${pair%%=*}" b "${dev%%:*}" "${dev##*:}"
  done
}

# Runs the program; its lines ("quillmap <S> text") go to $log and, indented,
# to the payload's output.
run_quillmap() {
  /bin/quillmap >"$log" 2>&1
  status=$?
  kmsg=
  sed 's/^/   | /' "$log"
  check "$status" 0 "exit status"
}

# run_quillmap_kmsg [LAUNCHER]: runs the program as init does on a user build
# (through LAUNCHER if given): stdio at /dev/null, the kernel's rate limit on
# /dev/kmsg on. $log then holds its records as "quillmap: text" (expectations
# drop their severity letter to match; each severity's level is the host's
# kernel_log_test): a line the limit dropped is missing, and the kernel's
# "output lines suppressed" note is one line too many.
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
  ok grep -qxF -- "$(as_logged "$1")" "$log" || fail "no line '$1'"
}

# expect_lines COUNT REGEX: COUNT lines of the log match REGEX (ERE, whole line).
expect_lines() {
  n=$(grep -cxE -- "$(as_logged "$2")" "$log")
  ok [ "$n" -eq "$1" ] || fail "$n lines match '$2', want $1"
}

expect_line_count() { check "$(wc -l <"$log" | tr -d ' ')" "$1" "number of log lines"; }

# dmsetup's view of a device: "uuid", "minor", or the table line.
dm_uuid() { dmsetup info -c --noheadings -o uuid "$1" 2>/dev/null; }
dm_minor() { dmsetup info -c --noheadings -o minor "$1" 2>/dev/null; }
dm_table() { dmsetup table "$1" 2>/dev/null; }

# expect_created NAME: the log reports device NAME made at its real node.
expect_created() {
  expect_line "quillmap I Created DM device $1 at /dev/block/dm-$(dm_minor "$1")."
}

# expect_made COUNT [ABSENT]...: the log has COUNT lines, preloader_raw_a and
# _b made, and each candidate ABSENT not found.
expect_made() {
  expect_line_count "$1"
  shift
  expect_created preloader_raw_a
  expect_created preloader_raw_b
  for c in "$@"; do expect_line "quillmap E Device /dev/block/$c not found."; done
}

# expect_mapping NAME DISK RESERVED SECTORS [COMPARE]: device NAME maps SECTORS
# sectors of the candidate DISK from sector RESERVED, has its link to its node,
# and reads as DISK from RESERVED on (the first COMPARE sectors; all by default).
expect_mapping() {
  name=$1 disk=/dev/block/$2 reserved=$3 sectors=$4 compare=${5:-$4}
  check "$(dm_table "$name")" "0 $sectors linear $(majmin "$disk") $reserved" \
    "table of $name"
  node=/dev/block/dm-$(dm_minor "$name")
  uuid=$(dm_uuid "$name")
  check "$(readlink "/dev/block/mapper/by-uuid/${uuid:-none}")" "$node" "link of $name"
  ok eval 'dd if="$disk" bs=512 skip="$reserved" count="$compare" 2>/dev/null |
    cmp -s -n $((compare * 512)) - "$node"' ||
    fail "$node does not read as $disk from sector $reserved"
}

expect_no_devices() {
  check "$(dmsetup ls)" "No devices found" "dmsetup ls"
  left=$(ls -d /sys/block/dm-* 2>/dev/null)
  ok [ -z "$left" ] || fail "$left exist"
}

# The dm nodes and links there are, dangling ones too (busybox ls skips them).
dm_left() {
  for f in /dev/block/dm-* /dev/block/mapper/by-uuid/*; do
    [ -L "$f" ] || [ -e "$f" ] && echo "$f"
  done
}
none_left() { [ -z "$(dm_left)" ]; }

# Removes every device-mapper device and waits until the stand-in has removed
# every node and link (each one: a link may outlive its node), so that the
# next case starts clean.
remove_all_devices() {
  dmsetup remove_all --noudevsync >/dev/null 2>&1
  wait_until none_left || fail "nodes or links outlived their devices: $(dm_left)"
}

# recovery [SDK]: the recovery marker and, given SDK, a build.prop of that sdk
# alone (no ro.build.ab_update).
recovery() {
  rm -rf /system
  mkdir -p /system/bin
  : >/system/bin/recovery
  [ -z "$1" ] || echo "ro.build.version.sdk=$1" >/system/build.prop
}
