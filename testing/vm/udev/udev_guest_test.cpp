// The library and the quillmap program with Debian's systemd-udevd as the
// device manager of a real-kernel guest (run-guest.sh --devmgr udev): the
// program's devices get udev's nodes and by-uuid links, which go again with
// the devices. A removal that meets a device held open (as udev's probe
// holds every new device for a moment) is the kernel's EBUSY, which the
// contract suite checks (OpenDeviceCannotBeRemoved), met by the library's
// retries, which its host tests check (BusyRemovalIsRetriedThenGivenUp).
//
// Runs only in the guest boot with udev (cmake/QuillmapGuest.cmake), with
// its "udev" disks and the program at /bin/quillmap.
#include <gtest/gtest.h>
#include <libdm/dm.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "dm_request.h"
#include "test_handle.h"
#include "witness.h"

namespace {

using contract::CountLines;
using contract::Entries;
using contract::Exists;
using contract::RunCommand;
using std::chrono::milliseconds;

const char* const kProgramDevices[] = {"preloader_raw_a", "preloader_raw_b"};

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
    for (const char* name : kProgramDevices) {
      if (StatusErrno(name) == 0) dm_.DeleteDeviceIfExists(name);
    }
  }

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

}  // namespace
