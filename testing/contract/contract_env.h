// What differs between the two kernels the contract suite runs against: the
// fake (libfakedm in a temporary sandbox, on the host) and a real Linux
// device-mapper (in a guest). Everything else in the suite is written once,
// against the kernel interface.
//
// Both environments offer the same fixed backing disks (kDisks) with their
// headers; the fake makes them in its sandbox before the first test, the
// guest runner attaches them.
#pragma once

#include <stdint.h>

#include <string>

namespace contract {

struct Disk {
  const char* path;
  const char* header;  // 4 bytes
  uint64_t size;
};

inline constexpr Disk kDisks[] = {
    {"/dev/block/sda", "UFS\0", 4u << 20},
    {"/dev/block/sdb", "COMB", 4u << 20},
    {"/dev/block/mmcblk0boot0", "EMMC", 4u << 20},
    {"/dev/block/mmcblk0boot1", "EMMC", 1u << 20},
};

// True in the guest.
bool IsRealKernel();

// "MAJ:MIN" of the block device at |path| as the kernel names it in table
// lines, "" when there is none.
std::string DeviceNumberOf(const std::string& path);

// Where the test process can inspect |path| (an absolute device path such as
// "/dev/block/dm-0") with calls the fake does not redirect (lstat, readlink,
// realpath): the sandbox's copy on the host, the path itself in the guest.
std::string InspectPath(const std::string& path);

}  // namespace contract
