// Checks the real-kernel guest itself, not quillmap: the runner's disks, the
// device-mapper control node, --file/--env delivery and the device-manager
// stand-in, mdev or udev (or its absence under --no-devmgr). Runs only inside
// a guest made by testing/vm/run-guest.sh, with the disks and files that
// testing/vm/CMakeLists.txt registers. QUILLMAP_SMOKE_DEVMGR=0 says the guest
// runs no device manager.
#include <android-base/unique_fd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/dm-ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>

#include "dm_request.h"
#include "witness.h"

namespace {

using contract::DmClient;
using contract::DmRequest;
using contract::Exists;
using contract::ReadAt;
using contract::Result;
using contract::WaitFor;

bool DevMgrExpected() {
  const char* v = getenv("QUILLMAP_SMOKE_DEVMGR");
  return v == nullptr || std::string(v) != "0";
}

struct DiskCase {
  const char* path;
  const char* header;  // 4 bytes
  uint64_t size;
};

// Must match the DISKS of testing/vm/CMakeLists.txt.
const DiskCase kDisks[] = {
    {"/dev/block/sda", "UFS\0", 4u << 20},
    {"/dev/block/mmcblk0boot1", "EMMC", 1u << 20},
    {"/dev/block/big", "COMB", 3ull << 30},
};

TEST(GuestDisks, AppearByNameWithHeaderAndSize) {
  for (const auto& d : kDisks) {
    SCOPED_TRACE(d.path);
    struct stat st;
    ASSERT_EQ(stat(d.path, &st), 0) << strerror(errno);
    EXPECT_TRUE(S_ISBLK(st.st_mode));
    android::base::unique_fd fd(open(d.path, O_RDONLY | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0) << strerror(errno);
    EXPECT_EQ(static_cast<uint64_t>(lseek(fd.get(), 0, SEEK_END)), d.size);
    EXPECT_EQ(ReadAt(d.path, 0, 4), std::string(d.header, 4));
  }
}

TEST(GuestDisks, CarryDistinctPatternsAfterTheHeader) {
  // A mapping that is off by a sector, or onto the wrong disk, must show in a
  // byte comparison: the pattern may not repeat per sector nor between disks.
  std::string a0 = ReadAt("/dev/block/sda", 4096, 512);
  std::string a1 = ReadAt("/dev/block/sda", 4096 + 512, 512);
  std::string b0 = ReadAt("/dev/block/mmcblk0boot1", 4096, 512);
  std::string tail = ReadAt("/dev/block/sda", (4u << 20) - 512, 512);
  ASSERT_EQ(a0.size(), 512u);
  ASSERT_EQ(a1.size(), 512u);
  ASSERT_EQ(b0.size(), 512u);
  ASSERT_EQ(tail.size(), 512u);
  EXPECT_NE(a0, a1);
  EXPECT_NE(a0, b0);
  EXPECT_NE(tail, std::string(512, '\0'));
}

TEST(GuestSetup, DeliversFilesAndEnvironment) {
  std::ifstream in("/etc/quillmap-smoke/greeting.txt");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "hello from the host\n");
  const char* env = getenv("QUILLMAP_SMOKE_VALUE");
  ASSERT_NE(env, nullptr);
  EXPECT_STREQ(env, "it's two words");
  const char* term = getenv("TERM");
  ASSERT_NE(term, nullptr);
  EXPECT_STREQ(term, "dumb");
}

class DeviceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(client_.ok()) << strerror(errno); }
  // A failed case must not leave its device behind for the next one.
  void TearDown() override { client_.Remove(name_); }

  DmClient client_;
  std::string name_ = "quillmap-smoke-" + std::to_string(getpid());
  std::string uuid_ = "QUILLMAP-SMOKE-" + std::to_string(getpid());
};

TEST_F(DeviceManagerTest, ControlNodeAnswersVersion) {
  struct stat st;
  ASSERT_EQ(stat("/dev/device-mapper", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(major(st.st_rdev), 10u);
  const Result r = client_.Run(DM_VERSION, DmRequest());
  ASSERT_EQ(r.error, 0) << strerror(r.error);
  EXPECT_EQ(r->version[0], 4u);
}

TEST_F(DeviceManagerTest, NodeAndLinkFollowTheDevice) {
  struct stat backing;
  ASSERT_EQ(stat("/dev/block/sda", &backing), 0);
  DmRequest create = DmClient::Named(name_);
  create.SetUuid(uuid_);
  const Result created = client_.Run(DM_DEV_CREATE, std::move(create));
  ASSERT_EQ(created.error, 0) << strerror(created.error);
  const unsigned dm_minor = minor(created->dev);

  DmRequest load = DmClient::Named(name_);
  load.SetTable(
      contract::Record(0, (4u << 20) / 512 - 8, "linear",
                       std::to_string(major(backing.st_rdev)) + ":" +
                           std::to_string(minor(backing.st_rdev)) + " 8"),
      1);
  const Result loaded = client_.Run(DM_TABLE_LOAD, std::move(load));
  ASSERT_EQ(loaded.error, 0) << strerror(loaded.error);
  const Result resumed = client_.Resume(name_);
  ASSERT_EQ(resumed.error, 0) << strerror(resumed.error);

  const std::string node = "/dev/block/dm-" + std::to_string(dm_minor);
  const std::string link = "/dev/block/mapper/by-uuid/" + uuid_;
  auto both_there = [&] { return Exists(node) && Exists(link); };
  auto none_there = [&] { return !Exists(node) && !Exists(link); };
  if (!DevMgrExpected()) {
    // Nothing may appear: give a stand-in, were one running, ample time.
    EXPECT_FALSE(WaitFor(both_there, std::chrono::milliseconds(1000)));
    EXPECT_TRUE(none_there());
    return;
  }
  ASSERT_TRUE(WaitFor(both_there, std::chrono::seconds(5)));
  struct stat st;
  ASSERT_EQ(stat(node.c_str(), &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(st.st_rdev, static_cast<dev_t>(created->dev));
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof(target) - 1), 0);
  EXPECT_EQ(std::string(target), "../../dm-" + std::to_string(dm_minor));
  std::string through = ReadAt(link, 0, 8192);
  ASSERT_EQ(through.size(), 8192u);
  EXPECT_EQ(through, ReadAt("/dev/block/sda", off_t{8} * 512, 8192));

  // udev probes the device on every uevent and holds it open meanwhile; the
  // removal may meet that as EBUSY.
  int rm_errno = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        rm_errno = client_.Remove(name_).error;
        return rm_errno != EBUSY;
      },
      std::chrono::seconds(5)));
  ASSERT_EQ(rm_errno, 0) << strerror(rm_errno);
  EXPECT_TRUE(WaitFor(none_there, std::chrono::seconds(5)));
}

}  // namespace
