// The control handle's device calls against the real Linux device-mapper:
// a device's state through its life, device numbers and node paths, creation
// with its waits and refusals, and removal with its waits (see rk_fixture.h).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
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
using contract::WaitFor;

// Removes the directory |path| with the entries in it (no subfolders);
// true when it is gone.
bool RemoveDirectory(const std::string& path) {
  for (const std::string& name : Entries(path, "")) {
    unlink((path + "/" + name).c_str());
  }
  return rmdir(path.c_str()) == 0 || errno == ENOENT;
}

// The first line of the text file |path|.
std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

TEST_F(WithDeviceManager, StateFollowsTheDeviceThroughItsLife) {
  const std::string name = Name("state");
  EXPECT_EQ(dm_.GetState(name), DeviceState::Unavailable);
  EXPECT_EQ(dm_.GetState("rk_never_made"), DeviceState::Unavailable);

  struct Step {
    const char* what;
    std::function<bool()> act;
    DeviceState state;
    uint32_t flags;  // of DM_ACTIVE_PRESENT, INACTIVE_PRESENT, SUSPEND
  };
  const uint32_t kMask =
      DM_ACTIVE_PRESENT_FLAG | DM_INACTIVE_PRESENT_FLAG | DM_SUSPEND_FLAG;
  const Step steps[] = {
      {"create", [&] { return dm_.CreateDevice(name, "rk-state-uuid"); },
       DeviceState::Inactive, 0},
      {"load",
       [&] { return dm_.LoadTable(name, OneLinear(kDiskSectors - 8, 8)); },
       DeviceState::Inactive, DM_INACTIVE_PRESENT_FLAG},
      {"resume", [&] { return control_.Resume(name).error == 0; },
       DeviceState::Active, DM_ACTIVE_PRESENT_FLAG},
      {"suspend", [&] { return control_.Suspend(name).error == 0; },
       DeviceState::Inactive, DM_ACTIVE_PRESENT_FLAG | DM_SUSPEND_FLAG},
      {"load while live", [&] { return dm_.LoadTable(name, OneLinear(16, 0)); },
       DeviceState::Inactive,
       DM_ACTIVE_PRESENT_FLAG | DM_INACTIVE_PRESENT_FLAG | DM_SUSPEND_FLAG},
      {"resume again", [&] { return control_.Resume(name).error == 0; },
       DeviceState::Active, DM_ACTIVE_PRESENT_FLAG},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(step.act());
    EXPECT_EQ(dm_.GetState(name), step.state);
    const contract::Result status = control_.Status(name);
    ASSERT_EQ(status.error, 0);
    EXPECT_EQ(status->flags & kMask, step.flags);
  }
  // The second load went live: the kernel now maps 16 sectors.
  const std::vector<StatusRecord> live = control_.Table(name, 0);
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].spec.length, 16u);

  ASSERT_TRUE(dm_.DeleteDevice(name, milliseconds(0)));
  EXPECT_EQ(dm_.GetState(name), DeviceState::Unavailable);
}

TEST_F(WithDeviceManager, DeviceNumbersAndNodePathsBeyondMinor255) {
  const unsigned dm_major = DmMajor();
  // Minors are handed out lowest free first: register table-less devices
  // (cheap to make and to remove) until one has minor 300.
  std::vector<std::pair<std::string, unsigned>> made;
  for (int i = 0; i < 600; ++i) {
    char suffix[16];
    snprintf(suffix, sizeof(suffix), "many_%03d", i);
    const std::string name = Name(suffix);
    ASSERT_TRUE(dm_.CreateEmptyDevice(name)) << name;
    const contract::Result status = control_.Status(name);
    ASSERT_EQ(status.error, 0);
    made.emplace_back(name, minor(status->dev));
    if (minor(status->dev) >= 300) break;
  }
  ASSERT_GE(made.back().second, 300u) << "minor 300 never came";

  // The lowest minor, the last one that fits one byte, the first that does
  // not, and 300.
  std::set<unsigned> wanted = {made.front().second, 255, 256, 300};
  int checked = 0;
  for (const auto& [name, dm_minor] : made) {
    if (wanted.count(dm_minor) == 0) continue;
    SCOPED_TRACE(name + " minor " + std::to_string(dm_minor));
    ++checked;
    // The kernel makes /sys/block/dm-N at the first table load.
    ASSERT_TRUE(dm_.LoadTable(name, OneLinear(8, 8)));
    const std::string sysfs =
        ReadText("/sys/block/dm-" + std::to_string(dm_minor) + "/dev");
    const std::string expected =
        std::to_string(dm_major) + ":" + std::to_string(dm_minor);
    EXPECT_EQ(sysfs, expected);

    std::string dev;
    ASSERT_TRUE(dm_.GetDeviceString(name, &dev));
    EXPECT_EQ(dev, expected);
    unsigned long number = 0;
    ASSERT_TRUE(dm_.GetDeviceNumber(name, &number));
    EXPECT_EQ(number, static_cast<unsigned long>(makedev(dm_major, dm_minor)));
    std::string path;
    ASSERT_TRUE(dm_.GetDmDevicePathByName(name, &path));
    EXPECT_EQ(path, kNodePrefix + std::to_string(dm_minor));

    // The stand-in's node for that path is the same device.
    ASSERT_TRUE(WaitFor([&] { return Exists(path); }, kStandInPatience));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(DevText(st.st_rdev), expected);
  }
  EXPECT_EQ(checked, static_cast<int>(wanted.size()));

  for (const auto& entry : made) {
    ASSERT_TRUE(dm_.DeleteDeviceIfExists(entry.first)) << entry.first;
  }
  EXPECT_EQ(control_.List(), std::vector<std::string>{});
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
  ASSERT_TRUE(WaitFor([&] { return Exists(path); }, kStandInPatience));
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
  // own lands inside it) nor removes, and which a thread removes |late|
  // after the kernel has let go of the device.
  struct Case {
    const char* what;
    bool slow_manager;
    milliseconds late;
    milliseconds timeout;
    bool deleted;
  };
  const Case cases[] = {
      {"stand-in", false, milliseconds(0), milliseconds(2000), true},
      {"link goes 300 ms late", true, milliseconds(300), milliseconds(2000),
       true},
      {"link outlives the timeout", true, milliseconds(1500), milliseconds(300),
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
    // The manager notes the time before each attempt at removing the link;
    // the last note is taken before the removal that succeeded. Compared
    // with the time DeleteDevice returned, it tells whether the wait ended
    // after the removal began, whatever the threads' scheduling.
    using Clock = std::chrono::steady_clock;
    Clock::time_point removal_began = Clock::time_point::max();
    bool removed = false;
    std::thread manager;
    if (c.slow_manager) {
      ASSERT_EQ(unlink(link.c_str()), 0);
      ASSERT_EQ(mkdir(link.c_str(), 0755), 0);
      manager = std::thread([&] {
        DmClient side;
        WaitFor([&] { return side.Status(name).error == ENXIO; },
                milliseconds(10000));
        std::this_thread::sleep_for(c.late);
        removed = WaitFor(
            [&] {
              removal_began = Clock::now();
              return RemoveDirectory(link);
            },
            milliseconds(5000));
      });
    }

    const bool deleted = dm_.DeleteDevice(name, c.timeout);
    const Clock::time_point returned = Clock::now();
    const bool link_left = Exists(link);
    const std::string log = capture.Stop();
    if (manager.joinable()) manager.join();

    EXPECT_EQ(deleted, c.deleted) << log;
    EXPECT_EQ(control_.Status(name).error, ENXIO);
    if (c.slow_manager) {
      ASSERT_TRUE(removed) << link << " never went";
    }
    if (c.deleted) {
      EXPECT_FALSE(link_left) << link << " outlived the wait";
      if (c.slow_manager) {
        EXPECT_LE(removal_began, returned) << "returned before the removal";
      }
      EXPECT_EQ(log, "");
    } else {
      EXPECT_LT(returned, removal_began) << "the link went before the timeout";
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

TEST_F(WithoutDeviceManager, CreateDeviceGivesUpAndLeavesNothingBehind) {
  const std::string name = Name("no_devmgr");
  // Watch the kernel from the side while the library waits, to learn the
  // uuid the device had: it is gone by the time CreateDevice returns.
  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  std::atomic<bool> stop(false);
  std::string seen_uuid;
  std::thread watcher([&] {
    DmClient side;
    while (!stop.load()) {
      const contract::Result status = side.Status(name);
      if (status.error == 0 && status->uuid[0] != '\0') {
        seen_uuid.assign(status->uuid,
                         strnlen(status->uuid, sizeof(status->uuid)));
        return;
      }
      std::this_thread::sleep_for(milliseconds(2));
    }
  });

  std::string path = "untouched";
  const auto begin = std::chrono::steady_clock::now();
  const bool made = dm_.CreateDevice(name, OneLinear(kDiskSectors - 8, 8),
                                     &path, kCreateTimeout);
  const auto waited = std::chrono::duration_cast<milliseconds>(
      std::chrono::steady_clock::now() - begin);
  const std::string log = capture.Stop();
  stop.store(true);
  watcher.join();

  EXPECT_FALSE(made);
  EXPECT_EQ(path, "untouched");
  // It waited its whole bound, and then gave up rather than waiting on
  // (the upper limit is slack for emulation, not a speed goal).
  EXPECT_GE(waited, kCreateTimeout);
  EXPECT_LT(waited, 10 * kCreateTimeout);
  ASSERT_FALSE(seen_uuid.empty()) << "the device never showed up";
  EXPECT_NE(log.find("Failed waiting for device path: " +
                     std::string(kLinkPrefix) + seen_uuid + "\n"),
            std::string::npos)
      << log;

  EXPECT_EQ(control_.Status(name).error, ENXIO);
  EXPECT_EQ(control_.List(), std::vector<std::string>{});
  EXPECT_EQ(Entries("/sys/block", "dm-"), std::vector<std::string>{});
  std::cout << "[ info     ] CreateDevice gave up after " << waited.count()
            << " ms\n";
}

}  // namespace
}  // namespace realkernel
}  // namespace dm
}  // namespace android
