// The fixture of the control handle's tests against the real Linux
// device-mapper. They run only inside a guest made by testing/vm/run-guest.sh
// with the disks that testing/realkernel/CMakeLists.txt registers.
//
// QUILLMAP_RK_DEVMGR says whether the guest runs the device-manager stand-in
// ("1", the default) or not ("0"); each suite skips itself in the other kind
// of guest. Every device a test registers is named "rk_*" through Name() and
// removed again by the fixture through the shared raw client (DmClient), so
// that a failing case neither hides nor disturbs the next one; the fixture
// then checks that the kernel holds no device at all.
//
// The kernel is asked directly (DmClient on a descriptor of its own, sysfs,
// stat of nodes) as the witness for what the library reports.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "dm_request.h"
#include "libdm/dm.h"
#include "libdm/dm_table.h"
#include "witness.h"

namespace android {
namespace dm {

// Lets the test output name the states.
void PrintTo(DeviceState state, std::ostream* out);

namespace realkernel {

using contract::DmClient;
using contract::StatusRecord;
using std::chrono::milliseconds;

// The guest's disks (see CMakeLists.txt): 4 MiB each, a 4-byte header and a
// pseudo-random pattern that differs per disk and per sector.
inline constexpr char kLinearDisk[] = "/dev/block/rk_linear";
inline constexpr char kCryptDisk[] = "/dev/block/rk_crypt";
inline constexpr uint64_t kDiskSectors = (4u << 20) / 512;
inline constexpr char kLinkPrefix[] = "/dev/block/mapper/by-uuid/";
inline constexpr char kNodePrefix[] = "/dev/block/dm-";
// What the program waits for a device's link.
inline constexpr milliseconds kCreateTimeout(500);
// How long the stand-in may take to act on a uevent before a test gives up
// on it (its worst case measured under emulation is far below this).
inline constexpr milliseconds kStandInPatience(5000);

// "MAJ:MIN" of |dev|.
std::string DevText(dev_t dev);

// The device-mapper block major, from the kernel's list of drivers; 0 when
// it is not there.
unsigned DmMajor();

// A table of one linear target of |length| sectors onto kLinearDisk from
// |sector| on.
DmTable OneLinear(uint64_t length, uint64_t sector);

// A fresh library handle per test; the process-wide one would outlive them.
struct Handle : DeviceMapper {};

class RealKernelTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A name the fixture removes at the end of the test.
  std::string Name(const std::string& suffix);

  DmClient control_;
  Handle dm_;
  std::vector<std::string> names_;
};

// Cases for the guest with the device-manager stand-in; each ends once the
// stand-in has caught up with its uevents.
class WithDeviceManager : public RealKernelTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Cases for the guest without one.
class WithoutDeviceManager : public RealKernelTest {
 protected:
  void SetUp() override;
};

}  // namespace realkernel
}  // namespace dm
}  // namespace android
