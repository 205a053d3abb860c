#!/usr/bin/env bash
# Benchmark, not a test: how long quillmap takes to expose the two UFS boot
# regions on a real kernel, next to Debian's dmsetup doing the same.
#
# Usage: bench-create.sh [--arch amd64|arm64] [--runs N] [--program PATH]
#
# One guest boot (testing/vm/run-guest.sh, with the device-manager stand-in)
# with the disks sda and sdb (4 MiB, "UFS" headers). Each run, alternately:
#   quillmap  the program from start to exit (it creates preloader_raw_a and
#             _b, each waiting for its by-uuid link, and looks for the two
#             absent eMMC candidates);
#   dmsetup   `dmsetup create --uuid` with the same two tables, each followed
#             by a wait for its /dev/block/mapper/by-uuid link (polled every
#             5 ms; the program polls every 20 ms).
# The devices are removed between runs, untimed. Times come from the guest
# kernel's log clock (marks written to /dev/kmsg), so the shell's own costs
# around them are the same for both. Prints each run, the medians and means,
# and the ratio quillmap / dmsetup of the medians.
#
# --arch     guest architecture (default: the host's, amd64 or arm64)
# --runs     runs of each (default 7)
# --program  the static quillmap for that architecture (default: the newest
#            of build/rk-default/tool/guest/static/quillmap and
#            build/default/tool/guest/static/quillmap for amd64,
#            build/aarch64/tool/quillmap and build/rk-aarch64/tool/quillmap
#            for arm64)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
die() { echo "bench-create: $*" >&2; exit 1; }

case "$(uname -m)" in
  aarch64) arch=arm64 ;;
  *) arch=amd64 ;;
esac
runs=7 program=
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=${2:-}; shift 2 ;;
    --runs) runs=${2:-}; shift 2 ;;
    --program) program=${2:-}; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
done
[[ "$runs" =~ ^[1-9][0-9]*$ ]] || die "--runs wants a positive number"
case "$arch" in
  amd64) candidates=(build/rk-default/tool/guest/static/quillmap
                     build/default/tool/guest/static/quillmap) ;;
  arm64) candidates=(build/aarch64/tool/quillmap build/rk-aarch64/tool/quillmap) ;;
  *) die "--arch must be amd64 or arm64" ;;
esac
if [ -z "$program" ]; then
  # The newest, so that a stale tree does not stand in for a fresh one.
  for c in "${candidates[@]}"; do
    if [ -x "$repo/$c" ] && { [ -z "$program" ] || [ "$repo/$c" -nt "$program" ]; }; then
      program=$repo/$c
    fi
  done
  [ -n "$program" ] ||
    die "no static quillmap for $arch; build one (see --help) or give --program"
fi
[ -x "$program" ] || die "'$program' is not an executable"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmap-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

cat >"$work/bench.sh" <<'EOF'
runs=$1
echo on >/proc/sys/kernel/printk_devkmsg 2>/dev/null
mark() { echo "qmbench $1" >/dev/kmsg; }
wait_link() {
  while [ ! -e "/dev/block/mapper/by-uuid/$1" ]; do usleep 5000; done
}
clean() {
  dmsetup remove_all >/dev/null 2>&1
  while ls /dev/block/dm-* /dev/block/mapper/by-uuid/* >/dev/null 2>&1; do
    usleep 10000
  done
}
i=1
while [ "$i" -le "$runs" ]; do
  mark "quillmap start $i"
  /bin/quillmap >/tmp/log 2>&1
  mark "quillmap end $i"
  made=$(grep -c 'Created DM device' /tmp/log)
  if [ "$made" -ne 2 ]; then
    echo "quillmap made $made devices in run $i:"
    cat /tmp/log
    exit 1
  fi
  clean
  mark "dmsetup start $i"
  echo "0 8184 linear /dev/block/sda 8" |
    dmsetup create preloader_raw_a --uuid "bench-a-$i" || exit 1
  wait_link "bench-a-$i"
  echo "0 8184 linear /dev/block/sdb 8" |
    dmsetup create preloader_raw_b --uuid "bench-b-$i" || exit 1
  wait_link "bench-b-$i"
  mark "dmsetup end $i"
  clean
  i=$((i + 1))
done
dmesg | sed -n 's/^\[ *\([0-9.]*\)\] qmbench \(.*\)$/\2 \1/p'
EOF

echo "bench-create: $arch guest, $runs runs each, program $program" >&2
start=$(date +%s)
"$here/run-guest.sh" --arch "$arch" --timeout 900 \
  --disk sda=UFS1:4M --disk sdb=hex:554653ff:4M \
  --file "$program:/bin/quillmap" -- "$work/bench.sh" "$runs" >"$work/out" ||
  { cat "$work/out" >&2; die "the guest run failed"; }
echo "bench-create: guest boot and runs took $(( $(date +%s) - start )) s" >&2

# Lines "<what> start|end <run> <seconds>" -> per-run milliseconds.
awk -v arch="$arch" '
  NF == 4 && ($2 == "start" || $2 == "end") { t[$1, $2, $3] = $4; n[$3] = 1 }
  function median(a, k,   i, j, x) {
    for (i = 2; i <= k; i++) {
      x = a[i]
      for (j = i - 1; j >= 1 && a[j] > x; j--) a[j + 1] = a[j]
      a[j + 1] = x
    }
    return (k % 2) ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  }
  END {
    k = 0
    printf "%-6s %12s %12s\n", "run", "quillmap ms", "dmsetup ms"
    for (r = 1; (r in n); r++) {
      k++
      q[k] = (t["quillmap", "end", r] - t["quillmap", "start", r]) * 1000
      d[k] = (t["dmsetup", "end", r] - t["dmsetup", "start", r]) * 1000
      qs += q[k]; ds += d[k]
      printf "%-6d %12.1f %12.1f\n", r, q[k], d[k]
    }
    if (k == 0) { print "no timings came back" > "/dev/stderr"; exit 1 }
    qm = median(q, k); dm = median(d, k)
    printf "%-6s %12.1f %12.1f\n", "mean", qs / k, ds / k
    printf "%-6s %12.1f %12.1f\n", "median", qm, dm
    printf "%s: quillmap / dmsetup (medians) = %.2f\n", arch, qm / dm
  }' "$work/out"
