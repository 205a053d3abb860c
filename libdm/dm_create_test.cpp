// Device creation against the fake kernel: the composite operation, each
// of its failure lines, and that nothing half-made is left behind.
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "dm_request.h"
#include "dm_test_util.h"

namespace android {
namespace dm {
namespace testing_util {
namespace {

using quillmap_testing::DevicesLeft;
using quillmap_testing::kUuid;
using ::testing::MatchesRegex;

using CreateTest = DmTest;

TEST_F(CreateTest, CreatesLiveDeviceAndHandsBackItsNode) {
  DmTable table = LinearTable();
  std::string path = "stale text";
  auto lines = Logged([&] {
    EXPECT_TRUE(
        dm_->CreateDevice("preloader_raw_a", table, &path, milliseconds(500)));
  });
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_EQ(path, "/dev/block/dm-0");
  EXPECT_EQ(dm_->GetState("preloader_raw_a"), DeviceState::Active);
  EXPECT_THAT(RequestLog(), ElementsAre("DM_DEV_CREATE preloader_raw_a",
                                        "DM_TABLE_LOAD preloader_raw_a",
                                        "DM_DEV_SUSPEND preloader_raw_a",
                                        "DM_DEV_STATUS preloader_raw_a",
                                        "DM_DEV_STATUS preloader_raw_a",
                                        "DM_DEV_STATUS preloader_raw_a"));
  // A uuid not of kUuid's shape would show in the text.
  EXPECT_THAT(DevicesLeft(), ElementsAre("preloader_raw_a dm-0: 0 8184 linear "
                                         "/dev/block/sda 8"));
  auto devices = fakedm::Devices();
  EXPECT_FALSE(devices.at(0).read_only) << "tables are loaded read-write";
  EXPECT_EQ(access(contract::LinkPath(devices[0].uuid).c_str(), F_OK), 0);

  // Every creation gets a new UUID and the next free minor.
  std::string second;
  EXPECT_TRUE(
      dm_->CreateDevice("preloader_raw_b", table, &second, milliseconds(500)));
  EXPECT_EQ(second, "/dev/block/dm-1");
  devices = fakedm::Devices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_NE(devices[0].uuid, devices[1].uuid);
}

// Each stage's failure: its exact lines, false, the caller's path untouched
// and no device left, unless the clean-up itself was refused.
TEST_F(CreateTest, FailureAtEachStageLeavesNothingBehind) {
  const std::string kBusyRetry =
      "W DM_DEV_REMOVE failed for \\[a\\], retrying: Device or resource busy";
  const struct {
    const char* what;
    std::vector<std::string> env;    // FAKEDM_FAULTS items
    std::vector<std::string> lines;  // regular expressions
    size_t removals;
    size_t left = 0;
    bool empty_table = false;  // sent as a bare header, refused
  } cases[] = {
      {"register",
       {"DM_DEV_CREATE=EINVAL"},
       {"E DM_DEV_CREATE failed for \\[a\\]: Invalid argument"},
       0},
      {"load",
       {"DM_TABLE_LOAD=EINVAL"},
       {"E DM_TABLE_LOAD failed: Invalid argument"},
       1},
      {"resume",
       {"DM_DEV_SUSPEND=ENOMEM"},
       {"E DM_TABLE_SUSPEND resume failed: Cannot allocate memory"},
       1},
      {"unique path",
       {"DM_DEV_STATUS=EIO@1"},
       {"E Failed to get device path: a: Input/output error"},
       1},
      {"node path",
       {"DM_DEV_STATUS=EIO@2"},
       {"W DM_DEV_STATUS failed for a: Input/output error"},
       1},
      // The node appears, the link much later: the wait is for the link.
      {"wait",
       {"devmgr=1", "link=never"},
       {"E Failed waiting for device path: " + contract::LinkPath(kUuid)},
       1},
      {"clean-up refused",
       {"DM_TABLE_LOAD=EINVAL,DM_DEV_REMOVE=EBUSY"},
       {"E DM_TABLE_LOAD failed: Invalid argument", kBusyRetry, kBusyRetry,
        kBusyRetry, kBusyRetry,
        "E DM_DEV_REMOVE failed for \\[a\\]: Device or resource busy"},
       5,
       1},
      {"empty table",
       {},
       {"E Device-mapper table must have at least one target\\.",
        "E DM_TABLE_LOAD failed: .*"},
       1,
       0,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fakedm::Reset();
    Inject(c.env);
    DmTable table = c.empty_table ? DmTable() : LinearTable();
    std::string path = "untouched";
    auto lines = Logged([&] {
      EXPECT_FALSE(dm_->CreateDevice("a", table, &path, milliseconds(100)));
    });
    ASSERT_EQ(lines.size(), c.lines.size()) << ::testing::PrintToString(lines);
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_THAT(lines[i], MatchesRegex(c.lines[i]));
    }
    EXPECT_EQ(path, "untouched");
    EXPECT_EQ(fakedm::Devices().size(), c.left);
    size_t removals = 0;
    for (const auto& r : fakedm::Requests())
      removals += r.request == "DM_DEV_REMOVE";
    EXPECT_EQ(removals, c.removals) << "by name, retried only when busy";
  }
}

TEST_F(CreateTest, ZeroTimeoutReturnsOnceLiveWithoutWaiting) {
  Inject({"devmgr=never"});
  DmTable table = LinearTable();
  for (int timeout : {0, -1}) {
    std::string path;
    const std::string name = "t" + std::to_string(-timeout);
    EXPECT_TRUE(dm_->CreateDevice(name, table, &path, milliseconds(timeout)));
    EXPECT_THAT(path, MatchesRegex("/dev/block/dm-[0-9]+"));
    EXPECT_EQ(dm_->GetState(name), DeviceState::Active);
  }
}

TEST_F(CreateTest, ImpossibleCreateRepliesEndTheProcess) {
  DmTable table = LinearTable();
  std::string path;
  for (auto [field, what] : {std::pair{"target_count=1", "targets"},
                             std::pair{"open_count=2", "opens"}}) {
    SCOPED_TRACE(field);
    fakedm::Reset();
    Inject({std::string("DM_DEV_CREATE.") + field});
    const std::string count(field, strchr(field, '='));
    EXPECT_DEATH(dm_->CreateDevice("a", table, &path, milliseconds(100)),
                 "Check failed: io." + count + " == 0 Unexpected " + what +
                     " for newly created \\[a\\] device");
    // The registration was taken back before the process ended.
    EXPECT_THAT(fakedm::Devices(), IsEmpty());
  }
}

// Recovery images of Android 10 and older wait for the node, not the link:
// the choice shows in its line, and the first row's link comes much later
// than its node, which only the wait for the node survives (that any other
// creation waits for the link is FailureAtEachStage's "wait" row).
TEST_F(CreateTest, RecoveryModeChoosesThePathToWaitFor) {
  const struct {
    bool recovery;
    const char* props;
    bool legacy;
  } cases[] = {
      {true, "ro.build.version.sdk=29\n", true},
      {true, "ro.build.version.sdk=1\n", true},
      {true, "ro.build.version.sdk=-4\n", true},
      {true, "ro.build.version.sdk=30\n", false},
      {true, "ro.build.version.sdk=29\nro.build.ab_update=true\n", false},
      {true, "", false},
      {true, "ro.build.version.sdk=29x\n", false},
      {false, "ro.build.version.sdk=29\n", false},
  };
  ASSERT_EQ(mkdir((root_ + "/system").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ + "/system/bin").c_str(), 0755), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.recovery ? "recovery " : "normal ") + c.props);
    fakedm::Reset();
    Inject({"devmgr=1", &c == &cases[0] ? "link=never" : "link=1"});
    unlink((root_ + "/system/bin/recovery").c_str());
    if (c.recovery) std::ofstream(root_ + "/system/bin/recovery");
    std::ofstream(root_ + "/system/build.prop") << c.props;

    DmTable table = LinearTable();
    std::string path;
    auto lines = Logged([&] {
      EXPECT_TRUE(dm_->CreateDevice("r", table, &path, milliseconds(200)));
    });
    std::vector<std::string> want;
    if (c.legacy) {
      want.push_back(
          "I Detected ueventd incompatibility, reverting to legacy libdm "
          "behavior.");
    }
    EXPECT_EQ(lines, want);
    EXPECT_EQ(path, "/dev/block/dm-0");
    EXPECT_TRUE(dm_->DeleteDeviceIfExists("r"));
    EXPECT_THAT(fakedm::Devices(), IsEmpty());
  }
}

TEST_F(CreateTest, MissingControlNodeFailsEveryRequestWithEbadf) {
  dm_.reset();
  ASSERT_EQ(unlink((root_ + "/dev/device-mapper").c_str()), 0);
  auto lines = Logged([&] { dm_ = std::make_unique<TestDeviceMapper>(); });
  EXPECT_THAT(
      lines,
      ElementsAre("E Failed to open device-mapper: No such file or directory"));
  DmTable table = LinearTable();
  std::string path;
  std::vector<IDeviceMapper::TargetInfo> info;
  lines = Logged([&] {
    errno = 0;
    EXPECT_FALSE(dm_->CreateDevice("a", table, &path, milliseconds(100)));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(dm_->GetState("a"), DeviceState::Unavailable);
    EXPECT_FALSE(dm_->GetTableInfo("a", &info));
    EXPECT_TRUE(dm_->DeleteDeviceIfExists("a"));
  });
  EXPECT_THAT(
      lines,
      ElementsAre("E DM_DEV_CREATE failed for [a]: Bad file descriptor",
                  "E DM_TABLE_STATUS failed for a: Bad file descriptor"));
}

TEST_F(CreateTest, ControlNodeOpenIsReadWriteCloseOnExecAndRetriedSilently) {
  EXPECT_EQ(fakedm::ControlOpenFlags(), O_RDWR | O_CLOEXEC);
  auto lines =
      Logged([&] { Inject({"open=EINTR@1,open=EINTR@2,open=EINTR@3"}); });
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_EQ(fakedm::ControlOpenFlags(), O_RDWR | O_CLOEXEC);
  DmTable table = LinearTable();
  std::string path;
  EXPECT_TRUE(dm_->CreateDevice("a", table, &path, milliseconds(500)));

  lines = Logged([&] { Inject({"open=EACCES"}); });
  EXPECT_THAT(lines,
              ElementsAre("E Failed to open device-mapper: Permission denied"));
}

TEST(InitRequestHeader, FramesVersionSizesAndName) {
  struct dm_ioctl io;
  memset(&io, 0xAA, sizeof(io));
  TestDeviceMapper::InitRequestHeader(&io, std::string(200, 'x'));
  EXPECT_EQ(std::vector<uint32_t>(io.version, io.version + 3),
            (std::vector<uint32_t>{4, 0, 0}));
  EXPECT_EQ(io.data_size, 312u);
  EXPECT_EQ(io.data_start, 0u);
  EXPECT_EQ(io.flags, 0u);
  EXPECT_EQ(io.dev, 0u);
  EXPECT_EQ(std::string(io.name), std::string(127, 'x'));
  EXPECT_EQ(std::string(io.uuid, sizeof(io.uuid)),
            std::string(sizeof(io.uuid), '\0'));

  TestDeviceMapper::InitRequestHeader(&io, "");
  EXPECT_EQ(std::string(io.name, sizeof(io.name)),
            std::string(sizeof(io.name), '\0'));

  EXPECT_DEATH(
      TestDeviceMapper::InitRequestHeader(nullptr, "a"),
      "Check failed: io != nullptr nullptr passed to dm_ioctl initialization");
}

}  // namespace
}  // namespace testing_util
}  // namespace dm
}  // namespace android
