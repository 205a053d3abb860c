// The control handle's device calls against the real Linux device-mapper:
// creation with its wait and refusals, and removal with its waits (see
// rk_fixture.h). What the kernel itself does, the contract suite checks.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "rk_fixture.h"

namespace android {
namespace dm {
namespace realkernel {
namespace {

using contract::Entries;
using contract::Exists;
using contract::ReadAt;
using contract::StderrCapture;

// Removes the directory |path| with the entries in it (no subfolders);
// true when it is gone.
bool RemoveDirectory(const std::string& path) {
  for (const std::string& name : Entries(path, "")) {
    unlink((path + "/" + name).c_str());
  }
  return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

TEST_F(WithDeviceManager, CreateDeviceMapsTheBackingDeviceAfterItsReserve) {
  const std::string name = Name("composite");
  const uint64_t length = kDiskSectors - 8;
  std::string path;
  ASSERT_TRUE(
      dm_.CreateDevice(name, OneLinear(length, 8), &path, kCreateTimeout));
  EXPECT_EQ(dm_.GetState(name), DeviceState::Active);

  const contract::Result status = control_.Status(name);
  ASSERT_EQ(status.error, 0);
  const dev_t dev = status->dev;
  EXPECT_EQ(path, kNodePrefix + std::to_string(minor(dev)));
  const std::string uuid(status->uuid,
                         strnlen(status->uuid, sizeof(status->uuid)));
  EXPECT_TRUE(std::regex_match(
      uuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                       "[0-9a-f]{12}")))
      << uuid;

  // The wait ended on the link, so it is there now, not eventually.
  const std::string link = kLinkPrefix + uuid;
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

  const size_t bytes = length * 512;
  const std::string mapped = ReadAt(path, 0, bytes);
  const std::string backing = ReadAt(kLinearDisk, off_t{8} * 512, bytes);
  ASSERT_EQ(backing.size(), bytes);
  EXPECT_EQ(mapped.size(), bytes);
  EXPECT_TRUE(mapped == backing) << "the device's bytes differ from the "
                                    "backing device's from sector 8 on";
  // A mapping from the wrong sector must not compare equal by accident.
  EXPECT_NE(backing.substr(0, 512), backing.substr(512, 512));
}

TEST_F(WithDeviceManager, CreateDeviceLeavesNothingWhenRefused) {
  // The kernel keeps a registered device when its table is refused, and a
  // duplicate name is refused at registration: neither may leave a device
  // of ours, nor touch the one that holds the name.
  const std::string holder = Name("held");
  std::string held_path;
  ASSERT_TRUE(
      dm_.CreateDevice(holder, OneLinear(64, 8), &held_path, kCreateTimeout));
  const contract::Result before = control_.Status(holder);
  ASSERT_EQ(before.error, 0);

  struct Case {
    const char* what;
    std::string name;
    uint64_t length;
    uint64_t sector;
    const char* logged;
  };
  const Case cases[] = {
      {"longer than the backing device", Name("refused_long"), kDiskSectors, 8,
       "DM_TABLE_LOAD failed"},
      {"starts past the end", Name("refused_past"), 8, kDiskSectors,
       "DM_TABLE_LOAD failed"},
      {"name taken", holder, 64, 8, "DM_DEV_CREATE failed for [rk_held]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    std::string path = "untouched";
    EXPECT_FALSE(dm_.CreateDevice(c.name, OneLinear(c.length, c.sector), &path,
                                  kCreateTimeout));
    const std::string log = capture.Stop();
    EXPECT_EQ(path, "untouched");
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    EXPECT_EQ(control_.List(), std::vector<std::string>{holder});
  }

  const contract::Result after = control_.Status(holder);
  ASSERT_EQ(after.error, 0);
  EXPECT_EQ(after->dev, before->dev);
  EXPECT_STREQ(after->uuid, before->uuid);
  EXPECT_EQ(dm_.GetState(holder), DeviceState::Active);
  const std::vector<StatusRecord> table =
      control_.Table(holder, DM_STATUS_TABLE_FLAG);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].spec.length, 64u);
}

TEST_F(WithDeviceManager, DeleteDeviceWithTimeoutWaitsForTheLinkToGo) {
  // The stand-in removes a link within the removal request's own time, so a
  // wait that never happened would go unseen with it alone. In the other
  // cases the test plays a slow device manager: the link is swapped for a
  // directory, which the stand-in neither replaces (a late "ln -sfn" of its
  // own lands inside it) nor removes, and which a thread removes once an
  // event has happened: the kernel let go of the device (then the wait must
  // end on the removal, long before its bound), or DeleteDevice returned
  // (then the wait must have given up with the link still there).
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
    ASSERT_TRUE(
        dm_.CreateDevice(name, OneLinear(64, 8), &path, kCreateTimeout));
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

TEST_F(WithDeviceManager, DeleteDeviceIfExistsLeavesNoDeviceByThatName) {
  struct Case {
    const char* what;
    const char* suffix;
    std::function<bool(const std::string&)> setup;
  };
  const Case cases[] = {
      {"missing", "if_missing", [](const std::string&) { return true; }},
      {"registered, no table", "if_inactive",
       [&](const std::string& n) { return dm_.CreateEmptyDevice(n); }},
      {"live table", "if_active",
       [&](const std::string& n) {
         std::string path;
         return dm_.CreateDevice(n, OneLinear(64, 8), &path, kCreateTimeout);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = Name(c.suffix);
    ASSERT_TRUE(c.setup(name));
    StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    EXPECT_TRUE(dm_.DeleteDeviceIfExists(name));
    // Success is silent, whether or not there was a device to remove.
    EXPECT_EQ(capture.Stop(), "");
    EXPECT_EQ(control_.Status(name).error, ENXIO);
    EXPECT_EQ(dm_.GetState(name), DeviceState::Unavailable);
  }
}

}  // namespace
}  // namespace realkernel
}  // namespace dm
}  // namespace android
