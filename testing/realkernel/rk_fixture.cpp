#include "rk_fixture.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <memory>

#include "libdm/dm_target.h"
#include "test_tables.h"

namespace android {
namespace dm {

void PrintTo(DeviceState state, std::ostream* out) {
  switch (state) {
    case DeviceState::Unavailable:
      *out << "Unavailable";
      return;
    case DeviceState::Inactive:
      *out << "Inactive";
      return;
    case DeviceState::Active:
      *out << "Active";
      return;
  }
  *out << "DeviceState(" << static_cast<int>(state) << ")";
}

namespace realkernel {
namespace {

using contract::Entries;
using contract::WaitFor;

bool DeviceManagerExpected() {
  const char* value = getenv("QUILLMAP_RK_DEVMGR");
  return value == nullptr || std::string(value) != "0";
}

}  // namespace

std::string DevText(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

unsigned DmMajor() {
  std::ifstream in("/proc/devices");
  std::string line;
  bool block = false;
  while (std::getline(in, line)) {
    if (line == "Block devices:") block = true;
    unsigned number;
    char name[64];
    if (block && sscanf(line.c_str(), "%u %63s", &number, name) == 2 &&
        std::string(name) == "device-mapper") {
      return number;
    }
  }
  return 0;
}

DmTable OneLinear(uint64_t length, uint64_t sector) {
  return quillmap_testing::OneLinearTable(kLinearDisk, length, sector);
}

void RealKernelTest::SetUp() {
  ASSERT_TRUE(control_.ok()) << "no control node: " << strerror(errno);
  ASSERT_NE(DmMajor(), 0u) << "no device-mapper in /proc/devices";
}

void RealKernelTest::TearDown() {
  // Something (the device manager's probe) may still hold a device open
  // for a moment.
  constexpr milliseconds kBusyPatience(1000);
  for (const std::string& name : names_) {
    int error = 0;
    WaitFor(
        [&] {
          error = control_.Remove(name).error;
          return error != EBUSY;
        },
        kBusyPatience);
    EXPECT_TRUE(error == 0 || error == ENXIO)
        << "cannot remove " << name << ": " << strerror(error);
  }
  // Whatever the library made and did not remove would show here.
  EXPECT_EQ(control_.List(), std::vector<std::string>{});
}

std::string RealKernelTest::Name(const std::string& suffix) {
  names_.push_back("rk_" + suffix);
  return names_.back();
}

void WithDeviceManager::SetUp() {
  if (!DeviceManagerExpected()) GTEST_SKIP() << "guest without stand-in";
  RealKernelTest::SetUp();
}

void WithDeviceManager::TearDown() {
  RealKernelTest::TearDown();
  // The stand-in handles uevents one at a time, a shell each; after a test
  // that made hundreds of devices the next test's waits would queue behind
  // its backlog. With no device left, it is done once no node or link is.
  constexpr milliseconds kBacklogPatience(60000);
  EXPECT_TRUE(WaitFor(
      [] {
        return Entries("/dev/block", "dm-").empty() &&
               Entries(kLinkPrefix, "").empty();
      },
      kBacklogPatience))
      << "the stand-in never caught up";
}

void WithoutDeviceManager::SetUp() {
  if (DeviceManagerExpected()) GTEST_SKIP() << "guest with stand-in";
  RealKernelTest::SetUp();
}

}  // namespace realkernel
}  // namespace dm
}  // namespace android
