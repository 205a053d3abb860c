// The library and the quillmap program with Debian's systemd-udevd as the
// device manager of a real-kernel guest (run-guest.sh --devmgr udev). udev
// probes every new block device, holding it open for a moment, so a removal
// can meet EBUSY; these cases measure how often that happens and check that
// the library's retry leaves no device behind.
//
// Runs only inside a guest made by testing/vm/run-guest.sh with the disks of
// testing/vm/udev/CMakeLists.txt and the program at /bin/quillmap:
//   WithUuidLink*     udev makes nodes and by-uuid links;
//   WithoutUuidLink*  --udev-no-uuid-link: udev makes nodes and probes, but
//                     no link ever appears, so every creation times out.
// QUILLMAP_UDEV_RUNS sets how many times the counting cases repeat
// (default 20). The counts are printed as "udev-count:" lines.
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libdm/dm.h>
#include <libdm/dm_table.h>
#include <libdm/dm_target.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "dm_request.h"
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

// The disks the program maps; must match testing/vm/udev/CMakeLists.txt.
constexpr char kDiskA[] = "/dev/block/sda";
constexpr uint64_t kDiskSectors = (4u << 20) / 512;
constexpr uint64_t kReservedSectors = 8;
const char* const kProgramDevices[] = {"preloader_raw_a", "preloader_raw_b"};

// The library's control handle; its constructor is for derived classes.
struct Handle : android::dm::DeviceMapper {};

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

int RunsWanted() {
  const char* v = getenv("QUILLMAP_UDEV_RUNS");
  int n = v != nullptr ? atoi(v) : 0;
  return n > 0 ? n : 20;
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

  // Creates kName over the disk, waiting up to `wait` for its by-uuid link
  // (none: returns at once); on success *node is /dev/block/dm-<minor>.
  void Create(milliseconds wait, std::string* node) {
    ASSERT_TRUE(dm_.CreateDevice(kName, LinearTable(), node, wait));
    ASSERT_TRUE(WaitFor([&] { return Exists(*node); }, milliseconds(5000)))
        << *node << " never appeared";
  }

  // Creates kName, lets udev finish its probes and opens the node: from then
  // on only *holder keeps the device busy.
  void CreateHeld(android::base::unique_fd* holder) {
    std::string node;
    ASSERT_NO_FATAL_FAILURE(Create(milliseconds(5000), &node));
    ASSERT_NO_FATAL_FAILURE(Settle());
    holder->reset(open(node.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(holder->ok()) << node << ": " << strerror(errno);
  }

  static constexpr const char* kName = "udev-busy";
  Handle dm_;
};

// ---- udev makes nodes and by-uuid links ----

using WithUuidLink = UdevGuest;

TEST_F(WithUuidLink, ProgramCreatesBothDevices) {
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

TEST_F(WithUuidLink, RemovalRetriesUntilTheHolderCloses) {
  android::base::unique_fd holder;
  ASSERT_NO_FATAL_FAILURE(CreateHeld(&holder));

  StderrCapture capture;
  ASSERT_TRUE(capture.ok());
  // The holder lets go once the library has met it: its first retry warning
  // is the event, so the removal is sure to have been refused at least once.
  std::thread closer([&] {
    WaitFor(
        [&] {
          return capture.Text().find(RetryWarning(kName)) != std::string::npos;
        },
        milliseconds(10000));
    holder.reset();
  });
  const bool removed = dm_.DeleteDevice(kName, milliseconds(0));
  closer.join();
  const std::string text = capture.Stop();
  std::printf("%s", text.c_str());
  EXPECT_TRUE(removed);
  const int retries = CountLines(text, RetryWarning(kName));
  EXPECT_GE(retries, 1);
  EXPECT_LE(retries, 4);
  EXPECT_EQ(CountLines(text, BusyError(kName)), 0);
  EXPECT_EQ(StatusErrno(kName), ENXIO);
}

TEST_F(WithUuidLink, RemovalGivesUpWhileHeldOpen) {
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

// When the removal follows the creation: at once (the creation does not
// wait for the link), or right after the link appeared, optionally after a
// further pause.
struct RemovalTiming {
  const char* name;
  bool wait_for_link;
  int pause_ms;
};

class RemovalAfterCreation
    : public UdevGuest,
      public ::testing::WithParamInterface<RemovalTiming> {};

// Counts how often udev's probe still holds a new device when it is removed;
// whatever the count, the retry must leave no device behind.
TEST_P(RemovalAfterCreation, LeavesNothing) {
  const RemovalTiming& timing = GetParam();
  const int runs = RunsWanted();
  int busy_removals = 0;
  int retries = 0;
  int failed = 0;
  int left = 0;
  for (int i = 0; i < runs; ++i) {
    std::string node;
    ASSERT_TRUE(dm_.CreateDevice(
        kName, LinearTable(), &node,
        timing.wait_for_link ? milliseconds(5000) : milliseconds(0)));
    if (timing.pause_ms > 0) {
      std::this_thread::sleep_for(milliseconds(timing.pause_ms));
    }
    StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    const bool removed = dm_.DeleteDevice(kName, milliseconds(0));
    const std::string text = capture.Stop();
    const int r = CountLines(text, RetryWarning(kName));
    retries += r;
    if (r > 0 || CountLines(text, BusyError(kName)) > 0) ++busy_removals;
    if (!removed) {
      ++failed;
      std::printf("run %d:\n%s", i, text.c_str());
    }
    if (StatusErrno(kName) != ENXIO) {
      ++left;
      // Out of the way for the next run once udev has let go.
      Settle();
      dm_.DeleteDeviceIfExists(kName);
    }
  }
  std::printf(
      "udev-count: removal %s: %d runs, EBUSY met by %d removals "
      "(%d retries), removals failed %d, devices left behind %d\n",
      timing.name, runs, busy_removals, retries, failed, left);
  RecordProperty("busy_removals", busy_removals);
  RecordProperty("left_behind", left);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(left, 0);
  // udev's events for devices that are already gone must not leave nodes or
  // links behind either.
  Settle();
  EXPECT_EQ(Entries("/dev/block", "dm-"), std::vector<std::string>{});
  EXPECT_EQ(Entries("/dev/block/mapper/by-uuid", ""),
            std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    WithUuidLink, RemovalAfterCreation,
    ::testing::Values(RemovalTiming{"AtOnce", false, 0},
                      RemovalTiming{"AtOncePlus5ms", false, 5},
                      RemovalTiming{"AfterLink", true, 0},
                      RemovalTiming{"AfterLinkPlus5ms", true, 5}),
    [](const ::testing::TestParamInfo<RemovalTiming>& info) {
      return std::string(info.param.name);
    });

// ---- udev makes nodes and probes, but no by-uuid link ----

using WithoutUuidLink = UdevGuest;

TEST_F(WithoutUuidLink, NodeAppearsButNoLink) {
  std::string node;
  ASSERT_NO_FATAL_FAILURE(Create(milliseconds(0), &node));
  ASSERT_NO_FATAL_FAILURE(Settle());
  std::string link;
  ASSERT_TRUE(dm_.GetDeviceUniquePath(kName, &link));
  EXPECT_FALSE(Exists(link));
  ASSERT_TRUE(dm_.DeleteDevice(kName, milliseconds(0)));
  Settle();
  EXPECT_FALSE(Exists(node));
}

// The program's creations all time out waiting for the link and remove
// their device; a removal that met EBUSY without the retry would have left
// the device behind.
TEST_F(WithoutUuidLink, FailedCreationsLeaveNothing) {
  const int runs = RunsWanted();
  int busy_removals = 0;
  int retries = 0;
  int left = 0;
  for (int i = 0; i < runs; ++i) {
    std::string log;
    ASSERT_EQ(RunCommand({"/bin/quillmap"}, &log), 0) << log;
    if (i == 0) std::printf("%s", log.c_str());
    for (const char* name : kProgramDevices) {
      SCOPED_TRACE(std::string(name) + ", run " + std::to_string(i));
      // The run must really be the failed creation this case is about.
      EXPECT_EQ(
          CountLines(log, std::string("quillmap E Failed to create device ") +
                              name + "."),
          1)
          << log;
      const int r = CountLines(log, RetryWarning(name));
      retries += r;
      if (r > 0 || CountLines(log, BusyError(name)) > 0) ++busy_removals;
      if (StatusErrno(name) != ENXIO) {
        ++left;
        std::printf("run %d left %s behind:\n%s", i, name, log.c_str());
        Settle();
        dm_.DeleteDeviceIfExists(name);
      }
    }
    EXPECT_EQ(CountLines(log,
                         "Failed waiting for device path: "
                         "/dev/block/mapper/by-uuid/"),
              2)
        << log;
    EXPECT_EQ(Entries("/sys/block", "dm-"), std::vector<std::string>{});
  }
  std::printf(
      "udev-count: failed creations: %d runs, %d removals, EBUSY met by %d "
      "removals (%d retries), devices left behind %d\n",
      runs, 2 * runs, busy_removals, retries, left);
  RecordProperty("busy_removals", busy_removals);
  RecordProperty("left_behind", left);
  EXPECT_EQ(left, 0);
}

}  // namespace
