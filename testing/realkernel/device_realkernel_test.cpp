// The control handle against the real Linux device-mapper and a device
// manager (the guest's stand-in under mdev, on its "library" disk): creation
// with its wait for the link, removal with its wait for the link to go. The
// kernel's own behaviour is the contract suite's, the library's refusals and
// queries its host tests'.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "boot_region.h"
#include "contract_fixture.h"
#include "guest_disks.h"
#include "libdm/dm.h"
#include "test_handle.h"
#include "test_tables.h"
#include "witness.h"

namespace android {
namespace dm {
namespace realkernel {
namespace {

using contract::Entries;
using contract::Exists;
using contract::StderrCapture;
using quillmap::kCreateTimeout;
using std::chrono::milliseconds;

constexpr const char* kLinearDisk = quillmap_testing::kLibraryDisks[0].path;
// How long the stand-in may take to act on a uevent before a test gives up
// on it (its worst case measured under emulation is far below this).
constexpr milliseconds kStandInPatience(5000);

// The contract suite's fixture (its raw client control_ is the witness) with
// a library handle. The fixture's clean-up removes every device named through
// Name(), so a failing case disturbs no other; then the kernel must hold no
// device and the stand-in must have taken every node and link away.
class WithDeviceManager : public contract::DmContract {
 protected:
  void TearDown() override {
    contract::DmContract::TearDown();
    // Whatever the library made and did not remove would show here.
    EXPECT_EQ(control_.List(), std::vector<std::string>{});
    EXPECT_TRUE(contract::WaitFor(
        [] {
          return Entries("/dev/block", "dm-").empty() &&
                 Entries(contract::LinkPath(""), "").empty();
        },
        kStandInPatience))
        << "the stand-in left a node or link behind";
  }

  std::string Name(const std::string& suffix) {
    Adopt("rk_" + suffix);
    return "rk_" + suffix;
  }

  const DmClient& control_ = *this;
  testing_util::TestDeviceMapper dm_;
};

// Removes the directory |path| with the entries in it (no subfolders);
// true when it is gone.
bool RemoveDirectory(const std::string& path) {
  for (const std::string& name : Entries(path, "")) {
    unlink((path + "/" + name).c_str());
  }
  return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

// What its bytes read is the program's guest payloads' (expect_mapping).
TEST_F(WithDeviceManager, CreateDeviceReturnsWithItsLinkAndNode) {
  const std::string name = Name("composite");
  std::string path;
  ASSERT_TRUE(dm_.CreateDevice(
      name, quillmap_testing::LinearTable({{64, kLinearDisk, 8}}), &path,
      kCreateTimeout));
  EXPECT_EQ(dm_.GetState(name), DeviceState::Active);

  const contract::Result status = control_.Status(name);
  ASSERT_EQ(status.error, 0);
  const dev_t dev = status->dev;
  EXPECT_EQ(path, contract::NodePath(minor(dev)));
  // The uuid's form is walk_test's (every device it leaves).
  const std::string uuid(status->uuid,
                         strnlen(status->uuid, sizeof(status->uuid)));

  // The wait ended on the link, so it is there now, not eventually.
  const std::string link = contract::LinkPath(uuid);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0) << link;
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(link.c_str(), &st), 0);
  EXPECT_EQ(st.st_rdev, dev);
  ASSERT_TRUE(
      contract::WaitFor([&] { return Exists(path); }, kStandInPatience));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(st.st_rdev, dev);
}

TEST_F(WithDeviceManager, DeleteDeviceWithTimeoutWaitsForTheLinkToGo) {
  // The stand-in removes a link within the removal request's own time, so a
  // missing wait would go unseen with it alone. Otherwise the test plays a
  // slow device manager: the link becomes a directory, which the stand-in
  // neither replaces (its late "ln -sfn" lands inside) nor removes, and a
  // thread removes it once the kernel let go of the device (the wait must
  // end on it) or once DeleteDevice returned (the wait must have given up).
  enum class Manager { kStandIn, kAfterKernel, kAfterReturn };
  struct Case {
    const char* what;
    Manager manager;
    milliseconds timeout;
    bool deleted;
  };
  const Case cases[] = {
      {"stand-in", Manager::kStandIn, milliseconds(60000), true},
      {"link goes after the kernel let go", Manager::kAfterKernel,
       milliseconds(60000), true},
      {"link outlives the timeout", Manager::kAfterReturn, milliseconds(300),
       false},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = Name("delete_wait_" + std::to_string(index++));
    std::string path;
    ASSERT_TRUE(dm_.CreateDevice(
        name, quillmap_testing::LinearTable({{64, kLinearDisk, 8}}), &path,
        kCreateTimeout));
    std::string link;
    ASSERT_TRUE(dm_.GetDeviceUniquePath(name, &link));
    ASSERT_TRUE(Exists(link));

    StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    std::atomic<bool> returned(false);
    std::atomic<bool> removed(false);
    std::thread manager;
    if (c.manager != Manager::kStandIn) {
      ASSERT_EQ(unlink(link.c_str()), 0);
      ASSERT_EQ(mkdir(link.c_str(), 0755), 0);
      manager = std::thread([&] {
        DmClient side;
        const milliseconds patience(60000);
        if (c.manager == Manager::kAfterKernel) {
          contract::WaitFor([&] { return side.Status(name).error == ENXIO; },
                            patience);
        } else {
          contract::WaitFor([&] { return returned.load(); }, patience);
        }
        removed =
            contract::WaitFor([&] { return RemoveDirectory(link); }, patience);
      });
    }

    const bool deleted = dm_.DeleteDevice(name, c.timeout);
    const bool link_left = Exists(link);
    returned = true;
    if (manager.joinable()) manager.join();
    const std::string log = capture.Stop();

    EXPECT_EQ(deleted, c.deleted) << log;
    EXPECT_EQ(control_.Status(name).error, ENXIO);
    if (c.manager != Manager::kStandIn) {
      ASSERT_TRUE(removed) << link << " never went";
    }
    if (c.deleted) {
      EXPECT_FALSE(link_left) << link << " outlived the wait";
      EXPECT_EQ(log, "");
    } else {
      EXPECT_TRUE(link_left) << "the link went before the timeout";
      EXPECT_NE(log.find("Failed waiting for " + link + " to be deleted"),
                std::string::npos)
          << log;
    }
    EXPECT_FALSE(Exists(link));
  }
}

}  // namespace
}  // namespace realkernel
}  // namespace dm
}  // namespace android
