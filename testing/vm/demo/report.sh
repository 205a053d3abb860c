#!/bin/sh
# Guest side of scripts/demo.sh: runs quillmap (/system/bin/quillmap) on the
# emulated device and reports, for a newcomer, what it did and an independent
# check of it (Debian's dmsetup, the device nodes, the bytes).
heading() { printf '\n==== %s ====\n' "$*"; }

# Prints the first 4 bytes of $1, a zero byte as \0.
header_of() { head -c 4 "$1" | od -An -c | tr -d ' \n'; }

heading "1. The emulated device's boot storage"
found=0
for d in sda sdb mmcblk0boot0 mmcblk0boot1; do
  p=/dev/block/$d
  [ -b "$p" ] || continue
  found=1
  printf '%-26s %8d KiB  header "%s"\n' "$p" "$(( $(blockdev --getsize64 "$p") / 1024 ))" \
    "$(header_of "$p")"
done
[ "$found" = 1 ] || echo "(no boot storage: none of sda, sdb, mmcblk0boot0/1 exists)"

heading "2. quillmap's log (it takes no arguments and logs to stderr and the kernel log)"
/system/bin/quillmap
echo "(exit status $?)"

heading "3. Device-mapper devices afterwards, as dmsetup sees them"
echo "(dmsetup is Debian's own tool, a witness independent of quillmap)"
echo "\$ dmsetup ls"
dmsetup ls
echo "\$ dmsetup table"
dmsetup table

heading "4. Device nodes and links made by the device manager"
echo "\$ ls -l /dev/block/dm-*"
ls -l /dev/block/dm-* 2>/dev/null || echo "(none)"
echo "\$ ls -l /dev/block/mapper/by-uuid"
ls -l /dev/block/mapper/by-uuid 2>/dev/null | grep -v '^total' || echo "(none)"

heading "5. Do the new devices show the boot regions' bytes?"
echo "(each device should read as its boot region from the sector where the"
echo " table starts it, after the reserved header sectors, to the region's end)"
checked=0 bad=0
# "name: start length linear MAJ:MIN offset", offset = the reserved sectors.
dmsetup table >/tmp/tables
while read -r name start length type backing offset rest; do
  name=${name%:}
  [ "$type" = linear ] || continue
  checked=$((checked + 1))
  src=
  for p in /dev/block/sda /dev/block/sdb /dev/block/mmcblk0boot0 /dev/block/mmcblk0boot1; do
    [ "$(stat -L -c '%t:%T' "$p" 2>/dev/null)" != "$(printf '%x:%x' ${backing%:*} ${backing#*:})" ] || src=$p
  done
  dm=/dev/block/dm-$(dmsetup info -c --noheadings -o minor "$name")
  region=$(( $(blockdev --getsize64 "$src") / 512 ))
  a=$(dd if="$src" bs=512 skip="$offset" count="$length" 2>/dev/null | sha256sum | cut -d' ' -f1)
  b=$(dd if="$dm" bs=512 count="$length" 2>/dev/null | sha256sum | cut -d' ' -f1)
  echo "$name ($dm): $length sectors of $src from sector $offset (header \"$(header_of "$src")\", $offset sectors reserved)"
  printf '  sha256 of %-40s %s\n' "$src sectors $offset..$((offset + length - 1)):" "$a"
  printf '  sha256 of %-40s %s\n' "$dm:" "$b"
  if [ "$a" = "$b" ] && [ "$start" = 0 ] && [ "$offset" -gt 0 ] &&
     [ $((offset + length)) = "$region" ]; then
    echo "  OK: same bytes, from past the reserved sectors to the end of the region"
  else
    echo "  MISMATCH"
    bad=$((bad + 1))
  fi
done </tmp/tables
[ "$checked" -gt 0 ] || echo "(no device-mapper device to check)"
echo
echo "$checked device(s) checked, $bad mismatch(es)."
[ "$bad" -eq 0 ]
