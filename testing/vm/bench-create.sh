#!/usr/bin/env bash
# Benchmark, not a test: how long quillmap takes to expose the two UFS boot
# regions on a real kernel, next to Debian's dmsetup doing the same (create
# --uuid, then poll every 5 ms for the link), and how much of it is the
# device manager's. One boot (run-guest.sh, stand-in under mdev, disks sda
# and sdb), the two alternately each run, devices removed in between. Times
# are on the guest kernel's log clock: the payload's marks, the syscall trace
# (each table load's return sends its add uevent), the stand-in's "link"
# lines and quillmap's own. Per run of two devices: floor = table load ->
# link (the device manager's, nothing can come before it); wait = link ->
# "Created DM device" (the program's poll); rest = the remainder (start-up,
# probing, requests, exit). Prints each run, means, medians, their ratio,
# the binary's size and the host's load (the guest is emulated).
#
# Usage: bench-create.sh [--arch amd64|arm64] [--runs N (7)] [--program PATH]
# --program: the static quillmap (default: the guest tests' one of the
# default or aarch64 tree). QM_BENCH_KEEP=1 keeps the raw log and trace.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
die() { echo "bench-create: $*" >&2; exit 1; }

arch=amd64 runs=7 program=
[ "$(uname -m)" != aarch64 ] || arch=arm64
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
  amd64) default_program=build/default/testing/vm/static/quillmap strip=strip ;;
  arm64) default_program=build/aarch64/tool/quillmap strip=aarch64-linux-gnu-strip ;;
  *) die "--arch must be amd64 or arm64" ;;
esac
program=${program:-$repo/$default_program}
[ -x "$program" ] ||
  die "no static quillmap for $arch at '$program'; build its preset or give --program"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmap-bench.XXXXXX")
trap '[ -n "${QM_BENCH_KEEP:-}" ] || rm -rf "$work"' EXIT
size=$(stat -c %s "$program")
stripped=?
if command -v "$strip" >/dev/null && "$strip" -o "$work/stripped" "$program"; then
  stripped=$(stat -c %s "$work/stripped")
fi

cat >"$work/bench.sh" <<'EOF'
runs=$1
tr=/sys/kernel/tracing
mount -t tracefs nodev "$tr" 2>/dev/null
for e in sys_enter_ioctl sys_exit_ioctl; do
  echo 1 >"$tr/events/syscalls/$e/enable" || { echo "no syscall tracing"; exit 1; }
done
# Both clocks get the mark, so the trace's times can be put on the log's.
mark() { echo "qmbench $1" >/dev/kmsg; echo "qmbench $1" >"$tr/trace_marker"; }
wait_link() {
  while [ ! -e "/dev/block/mapper/by-uuid/$1" ]; do usleep 5000; done
}
clean() {
  dmsetup remove_all >/dev/null 2>&1
  while ls /dev/block/dm-* /dev/block/mapper/by-uuid/* >/dev/null 2>&1; do
    usleep 10000
  done
}
dmesg -c >/dev/null
i=1
while [ "$i" -le "$runs" ]; do
  mark "quillmap start $i"
  /bin/quillmap 2>/dev/null   # it writes its lines to the kernel log itself
  mark "quillmap end $i"
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
echo 0 >"$tr/tracing_on"
dmesg
echo "@@trace"
grep -E '^ *(quillmap|dmsetup)-[0-9]+ .* sys_ioctl|qmbench' "$tr/trace"
EOF

echo "bench-create: $arch guest, $runs runs each, program $program" >&2
echo "bench-create: host load before: $(uptime)" >&2
start=$(date +%s)
"$here/run-guest.sh" --arch "$arch" --timeout 900 \
  --disk sda=UFS1:4M --disk sdb=hex:554653ff:4M \
  --file "$program:/bin/quillmap" -- "$work/bench.sh" "$runs" >"$work/out" ||
  { cat "$work/out" >&2; die "the guest run failed"; }
echo "bench-create: guest boot and runs took $(( $(date +%s) - start )) s" >&2
echo "bench-create: host load after: $(uptime)" >&2

# The kernel's log ("[seconds] text"), then the trace ("comm-pid [cpu] flags
# seconds: event"), put on the log's clock by each run's start mark.
awk -v arch="$arch" -v size="$size" -v stripped="$stripped" '
  function median(a, n,   i, j, x, b) {
    for (i = 1; i <= n; i++) b[i] = a[i]
    for (i = 2; i <= n; i++) {
      x = b[i]
      for (j = i - 1; j >= 1 && b[j] > x; j--) b[j + 1] = b[j]
      b[j + 1] = x
    }
    return (n % 2) ? b[(n + 1) / 2] : (b[n / 2] + b[n / 2 + 1]) / 2
  }
  function skip(what) { print "bench-create: " what ", run left out" > "/dev/stderr"; bad = 1 }
  $0 == "@@trace" { in_trace = 1; tool = ""; next }
  !in_trace {
    if (!match($0, /^\[ *[0-9]+\.[0-9]+\] /)) next
    t = substr($0, 2, RLENGTH - 3) + 0
    text = substr($0, RLENGTH + 1)
    split(text, f, " ")
    if (f[1] == "qmbench") {
      if (f[3] == "start") { tool = f[2]; run = f[4]; at[tool, run, "start"] = t }
      else { at[f[2], f[4], "end"] = t; if (f[4] > k) k = f[4] }
    } else if (tool != "" && f[1] == "quillmap-dm:" && f[2] == "link") {
      # ln returns a moment after the link appeared, so its line may come
      # after the end mark: it belongs to the run started last.
      link[tool, run, ++links[tool, run]] = t
    } else if (tool == "quillmap" && text ~ /^quillmap: Created DM device /) {
      seen[run, ++seens[run]] = t
    }
    next
  }
  {
    for (i = 1; i <= NF && $i !~ /^[0-9]+\.[0-9]+:$/; i++) {}
    t = $i + 0
    if ($(i + 1) == "tracing_mark_write:" && $(i + 2) == "qmbench") {
      if ($(i + 4) == "start") { tool = $(i + 3); run = $(i + 5); off = at[tool, run, "start"] - t }
      else tool = ""
      next
    }
    if (tool == "" || index($1, tool "-") != 1) next
    if ($(i + 1) == "sys_ioctl(fd:") { is_load[$1] = ($0 ~ /cmd: (0x)?c138fd09,/); next }
    if ($(i + 1) == "sys_ioctl" && is_load[$1]) load[tool, run, ++loads[tool, run]] = t + off
  }
  END {
    # A run whose creations did not all succeed (a loaded host can stall the
    # guest past the wait of the program) is left out.
    for (r = 1; r <= k; r++) {
      bad = 0
      for (w = 0; w < 2; w++) {
        tool = w ? "dmsetup" : "quillmap"
        if (links[tool, r] != 2 || loads[tool, r] != 2)
          skip(tool " run " r ": " links[tool, r] + 0 " links and " loads[tool, r] + 0 \
               " table loads, want 2")
        total[tool, r] = (at[tool, r, "end"] - at[tool, r, "start"]) * 1000
        for (j = 1; j <= 2; j++) fl[tool, r] += (link[tool, r, j] - load[tool, r, j]) * 1000
      }
      if (seens[r] != 2) skip("quillmap run " r ": " seens[r] + 0 " devices created, want 2")
      if (bad) continue
      n++
      for (j = 1; j <= 2; j++) qw[n] += (seen[r, j] - link["quillmap", r, j]) * 1000
      q[n] = total["quillmap", r]; qf[n] = fl["quillmap", r]
      qr[n] = q[n] - qf[n] - qw[n]; qo[n] = (q[n] - qf[n]) / 2
      ds[n] = total["dmsetup", r]; df[n] = fl["dmsetup", r]; dov[n] = (ds[n] - df[n]) / 2
      sq += q[n]; sqf += qf[n]; sqw += qw[n]; sqr += qr[n]; sd += ds[n]; sdf += df[n]
      row[n] = r
    }
    if (n == 0) { print "bench-create: no usable timings came back" > "/dev/stderr"; exit 1 }
    printf "%-6s %9s %9s %9s %9s | %9s %9s\n", "run", "quillmap", "floor", "wait", "rest",
           "dmsetup", "floor"
    for (i = 1; i <= n; i++)
      printf "%-6d %9.1f %9.1f %9.1f %9.1f | %9.1f %9.1f\n", row[i], q[i], qf[i], qw[i], qr[i],
             ds[i], df[i]
    runs = k; k = n
    printf "%-6s %9.1f %9.1f %9.1f %9.1f | %9.1f %9.1f\n", "mean", sq / k, sqf / k, sqw / k,
           sqr / k, sd / k, sdf / k
    printf "%-6s %9.1f %9.1f %9.1f %9.1f | %9.1f %9.1f\n", "median", median(q, k), median(qf, k),
           median(qw, k), median(qr, k), median(ds, k), median(df, k)
    printf "(ms per run of two devices, on the guest kernel clock; %d of %d runs)\n", k, runs
    printf "%s: quillmap %s bytes (%s stripped); quillmap / dmsetup (medians) = %.2f\n",
           arch, size, stripped, median(q, k) / median(ds, k)
    printf "%s: per device, medians: floor %.1f ms; quillmap above it %.1f ms (wait after the link %.1f, rest %.1f); dmsetup above it %.1f ms\n",
           arch, median(qf, k) / 2, median(qo, k), median(qw, k) / 2, median(qr, k) / 2,
           median(dov, k)
  }' "$work/out"
