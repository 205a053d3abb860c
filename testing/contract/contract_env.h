// What differs between the two kernels the contract suite runs against: the
// fake (libfakedm in a temporary sandbox, on the host) and a real Linux
// device-mapper (in a guest). Everything else in the suite is written once,
// against the kernel interface.
//
// Both environments offer the same fixed backing disks (kDisks, the
// "contract" group of cmake/QuillmapGuest.cmake) with their headers; the fake
// makes them in its sandbox before the first test, the guest runner attaches
// them.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "guest_disks.h"

namespace contract {

using Disk = quillmap_testing::GuestDisk;
inline constexpr const auto& kDisks = quillmap_testing::kContractDisks;

// True in the guest.
bool IsRealKernel();

// |rows| for this kernel: on the fake, without those |real_only| picks (kernel
// behaviour the library never asks for), so that they are never instantiated.
template <typename T, typename F>
std::vector<T> RowsFor(std::vector<T> rows, F real_only) {
  if (!IsRealKernel())
    rows.erase(std::remove_if(rows.begin(), rows.end(), real_only), rows.end());
  return rows;
}

// "MAJ:MIN" of the block device at |path| as the kernel names it in table
// lines, "" when there is none.
std::string DeviceNumberOf(const std::string& path);

// Where the test process can inspect |path| (an absolute device path such as
// "/dev/block/dm-0") with calls the fake does not redirect (lstat, readlink,
// realpath): the sandbox's copy on the host, the path itself in the guest.
std::string InspectPath(const std::string& path);

}  // namespace contract
