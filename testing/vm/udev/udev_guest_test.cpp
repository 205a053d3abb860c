// The library and the quillmap program with Debian's systemd-udevd as the
// device manager of a real-kernel guest (run-guest.sh --devmgr udev): the
// program's devices get udev's nodes and by-uuid links, which go again with
// the devices, and a removal that meets a device held open (as udev's probe
// holds every new device for a moment) tries again within its budget and
// then gives up, leaving the device. How often the probe is met in practice
// is a measurement, not a check: no case here depends on a race.
//
// Runs only in the guest boot with udev (cmake/QuillmapGuest.cmake), with
// its "udev" disks and the program at /bin/quillmap.
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libdm/dm.h>
#include <libdm/dm_table.h>
#include <libdm/dm_target.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "dm_request.h"
#include "guest_disks.h"
#include "test_handle.h"
#include "test_tables.h"
#include "witness.h"

namespace {

using contract::CountLines;
using contract::Entries;
using contract::Exists;
using contract::RunCommand;
using contract::StderrCapture;
using contract::WaitFor;
using std::chrono::milliseconds;

// The disk under the library's own device (the program maps both).
constexpr const char* kDiskA = quillmap_testing::kUdevDisks[0].path;
constexpr uint64_t kDiskSectors = quillmap_testing::kUdevDisks[0].size / 512;
constexpr uint64_t kReservedSectors = 8;
const char* const kProgramDevices[] = {"preloader_raw_a", "preloader_raw_b"};

// The library's warning for one EBUSY removal it tries again.
std::string RetryWarning(const std::string& name) {
  return "DM_DEV_REMOVE failed for [" + name +
         "], retrying: Device or resource busy";
}

// The library's error when the removal fails for good on EBUSY.
std::string BusyError(const std::string& name) {
  return "DM_DEV_REMOVE failed for [" + name + "]: Device or resource busy";
}

// errno of a bare DM_DEV_STATUS for `name` on a control descriptor of our
// own (0 when the device exists), so the library is not its own witness.
int StatusErrno(const std::string& name) {
  return contract::DmClient().Status(name).error;
}

// Waits until udev has handled every uevent queued so far.
void Settle() {
  std::string out;
  ASSERT_EQ(RunCommand({"/bin/udevadm", "settle", "--timeout=30"}, &out), 0)
      << out;
}

// One linear target over the disk after its reserved sectors.
android::dm::DmTable LinearTable() {
  return quillmap_testing::OneLinearTable(
      kDiskA, kDiskSectors - kReservedSectors, kReservedSectors);
}

class UdevGuest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Everything below is about udev's behaviour: make sure it is udev
    // that runs, and that no earlier case left a device behind.
    struct stat st;
    ASSERT_EQ(stat("/run/udev/control", &st), 0)
        << "systemd-udevd is not running: " << strerror(errno);
    ASSERT_TRUE(S_ISSOCK(st.st_mode));
    ASSERT_EQ(Entries("/sys/block", "dm-"), std::vector<std::string>{});
  }
  void TearDown() override {
    for (const std::string& n : Entries("/sys/block", "dm-")) {
      ADD_FAILURE() << n << " outlived its case";
    }
    for (const char* name : {kName, kProgramDevices[0], kProgramDevices[1]}) {
      if (StatusErrno(name) == 0) dm_.DeleteDeviceIfExists(name);
    }
  }

  // Creates kName, lets udev finish its probes and opens the node: from then
  // on only *holder keeps the device busy.
  void CreateHeld(android::base::unique_fd* holder) {
    std::string node;
    ASSERT_TRUE(
        dm_.CreateDevice(kName, LinearTable(), &node, milliseconds(5000)));
    ASSERT_TRUE(WaitFor([&] { return Exists(node); }, milliseconds(5000)))
        << node << " never appeared";
    ASSERT_NO_FATAL_FAILURE(Settle());
    holder->reset(open(node.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(holder->ok()) << node << ": " << strerror(errno);
  }

  static constexpr const char* kName = "udev-busy";
  android::dm::testing_util::TestDeviceMapper dm_;
};

TEST_F(UdevGuest, ProgramCreatesBothDevices) {
  std::string log;
  ASSERT_EQ(RunCommand({"/bin/quillmap"}, &log), 0) << log;
  std::printf("%s", log.c_str());
  const std::regex created(
      "quillmap I Created DM device (preloader_raw_[ab]) at "
      "/dev/block/dm-([0-9]+)\\.");
  std::vector<std::string> seen;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), created);
       it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[1];
    const std::string minor = (*it)[2];
    const std::string node = "/dev/block/dm-" + minor;
    SCOPED_TRACE(name);
    seen.push_back(name);
    std::string dev;
    ASSERT_TRUE(dm_.GetDeviceString(name, &dev));
    EXPECT_EQ(dev.substr(dev.find(':') + 1), minor);
    struct stat st;
    ASSERT_EQ(stat(node.c_str(), &st), 0) << node;
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    std::string link;
    ASSERT_TRUE(dm_.GetDeviceUniquePath(name, &link));
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0) << link;
    EXPECT_EQ(std::string(target), "../../dm-" + minor);
    EXPECT_EQ(dm_.GetState(name), android::dm::DeviceState::Active);
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{kProgramDevices[0], kProgramDevices[1]}));
  EXPECT_EQ(CountLines(log, "Failed to create device"), 0);

  // udev takes node and link away again with the device.
  Settle();
  for (const char* name : kProgramDevices) {
    std::string link;
    ASSERT_TRUE(dm_.GetDeviceUniquePath(name, &link));
    EXPECT_TRUE(dm_.DeleteDevice(name, milliseconds(5000))) << name;
    EXPECT_FALSE(Exists(link));
    EXPECT_EQ(StatusErrno(name), ENXIO);
  }
  Settle();
  EXPECT_EQ(Entries("/dev/block", "dm-"), std::vector<std::string>{});
  EXPECT_EQ(Entries("/dev/block/mapper/by-uuid", ""),
            std::vector<std::string>{});
}

TEST_F(UdevGuest, RemovalGivesUpWhileHeldOpen) {
  android::base::unique_fd holder;
  ASSERT_NO_FATAL_FAILURE(CreateHeld(&holder));

  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  const bool removed = dm_.DeleteDevice(kName, milliseconds(0));
  const std::string text = capture.Stop();
  std::printf("%s", text.c_str());
  EXPECT_FALSE(removed);
  EXPECT_EQ(CountLines(text, RetryWarning(kName)), 4);
  EXPECT_EQ(CountLines(text, " W "), 4);
  EXPECT_EQ(CountLines(text, BusyError(kName)), 1);
  EXPECT_EQ(CountLines(text, " E "), 1);
  EXPECT_EQ(StatusErrno(kName), 0) << "the held device must still be there";

  holder.reset();
  EXPECT_TRUE(dm_.DeleteDevice(kName, milliseconds(5000)));
  EXPECT_EQ(StatusErrno(kName), ENXIO);
}

}  // namespace
