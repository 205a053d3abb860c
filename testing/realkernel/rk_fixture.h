// The fixture of the control handle's tests against the real Linux
// device-mapper. They run only inside the guest boot with the device-manager
// stand-in (cmake/QuillmapGuest.cmake, mode mdev), with the "library" disks
// declared there.
//
// It is the contract suite's fixture (DmContract, whose raw client is also
// reachable as control_) with a library handle of the test's own: every
// device a test registers is named "rk_*" through Name() and removed again
// by the contract fixture's clean-up, so that a failing case neither hides
// nor disturbs the next one; this fixture then checks that the kernel holds
// no device at all and that the stand-in has taken every node and link
// away.
//
// The kernel is asked directly (DmClient on a descriptor of its own, sysfs,
// stat of nodes) as the witness for what the library reports.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "contract_fixture.h"
#include "dm_request.h"
#include "guest_disks.h"
#include "libdm/dm.h"
#include "libdm/dm_table.h"
#include "test_handle.h"
#include "witness.h"

namespace android {
namespace dm {
namespace realkernel {

using contract::DmClient;
using contract::StatusRecord;
using std::chrono::milliseconds;

// The guest's disks: 4 MiB each, a 4-byte header and a pseudo-random
// pattern that differs per disk and per sector.
inline constexpr const char* kLinearDisk =
    quillmap_testing::kLibraryDisks[0].path;
inline constexpr const char* kCryptDisk =
    quillmap_testing::kLibraryDisks[1].path;
inline constexpr uint64_t kDiskSectors =
    quillmap_testing::kLibraryDisks[0].size / 512;
inline constexpr char kLinkPrefix[] = "/dev/block/mapper/by-uuid/";
inline constexpr char kNodePrefix[] = "/dev/block/dm-";
// What the program waits for a device's link.
inline constexpr milliseconds kCreateTimeout(500);
// How long the stand-in may take to act on a uevent before a test gives up
// on it (its worst case measured under emulation is far below this).
inline constexpr milliseconds kStandInPatience(5000);

// "MAJ:MIN" of |dev|.
std::string DevText(dev_t dev);

// A table of one linear target of |length| sectors onto kLinearDisk from
// |sector| on.
DmTable OneLinear(uint64_t length, uint64_t sector);

class WithDeviceManager : public contract::DmContract {
 protected:
  void TearDown() override;

  // A name the fixture removes at the end of the test.
  std::string Name(const std::string& suffix);

  const DmClient& control_ = *this;
  testing_util::TestDeviceMapper dm_;
};

}  // namespace realkernel
}  // namespace dm
}  // namespace android
