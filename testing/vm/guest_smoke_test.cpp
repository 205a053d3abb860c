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
#include <sys/ioctl.h>
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
#include <thread>
#include <vector>

namespace {

// Reads `len` bytes at `offset` of `path`; empty on any failure.
std::string ReadAt(const std::string& path, off_t offset, size_t len) {
  android::base::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return {};
  std::string buf(len, '\0');
  ssize_t n = pread(fd.get(), buf.data(), len, offset);
  if (n != static_cast<ssize_t>(len)) return {};
  return buf;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Polls `done` every 10 ms for up to `limit`; true once it held.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

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

// A dm_ioctl request with room for one linear target; the kernel wants the
// header's version, sizes and the target records behind the header.
class DmRequest {
 public:
  explicit DmRequest(const std::string& name) : buf_(16384, 0) {
    io()->version[0] = DM_VERSION_MAJOR;
    io()->data_size = buf_.size();
    io()->data_start = sizeof(dm_ioctl);
    snprintf(io()->name, sizeof(io()->name), "%s", name.c_str());
  }
  dm_ioctl* io() { return reinterpret_cast<dm_ioctl*>(buf_.data()); }
  void SetUuid(const std::string& uuid) {
    snprintf(io()->uuid, sizeof(io()->uuid), "%s", uuid.c_str());
  }
  void AddLinear(uint64_t sectors, const std::string& params) {
    auto* target =
        reinterpret_cast<dm_target_spec*>(buf_.data() + sizeof(dm_ioctl));
    target->sector_start = 0;
    target->length = sectors;
    snprintf(target->target_type, sizeof(target->target_type), "linear");
    char* text = reinterpret_cast<char*>(target + 1);
    memcpy(text, params.c_str(), params.size() + 1);
    target->next =
        (sizeof(dm_target_spec) + params.size() + 1 + 7) & ~size_t{7};
    io()->target_count = 1;
  }

 private:
  std::vector<char> buf_;
};

class DeviceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(control_.get(), 0) << strerror(errno); }
  void TearDown() override {
    // A failed case must not leave its device behind for the next one.
    DmRequest rm(name_);
    ioctl(control_.get(), DM_DEV_REMOVE, rm.io());
  }
  int Ioctl(unsigned long cmd, DmRequest& req) {
    return ioctl(control_.get(), cmd, req.io());
  }

  android::base::unique_fd control_{
      open("/dev/device-mapper", O_RDWR | O_CLOEXEC)};
  std::string name_ = "quillmap-smoke-" + std::to_string(getpid());
  std::string uuid_ = "QUILLMAP-SMOKE-" + std::to_string(getpid());
};

TEST_F(DeviceManagerTest, ControlNodeAnswersVersion) {
  struct stat st;
  ASSERT_EQ(stat("/dev/device-mapper", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(major(st.st_rdev), 10u);
  DmRequest req("");
  ASSERT_EQ(Ioctl(DM_VERSION, req), 0) << strerror(errno);
  EXPECT_EQ(req.io()->version[0], 4u);
}

TEST_F(DeviceManagerTest, NodeAndLinkFollowTheDevice) {
  struct stat backing;
  ASSERT_EQ(stat("/dev/block/sda", &backing), 0);
  DmRequest create(name_);
  create.SetUuid(uuid_);
  ASSERT_EQ(Ioctl(DM_DEV_CREATE, create), 0) << strerror(errno);
  const unsigned dm_minor = minor(create.io()->dev);

  DmRequest load(name_);
  load.AddLinear((4u << 20) / 512 - 8,
                 std::to_string(major(backing.st_rdev)) + ":" +
                     std::to_string(minor(backing.st_rdev)) + " 8");
  ASSERT_EQ(Ioctl(DM_TABLE_LOAD, load), 0) << strerror(errno);
  DmRequest resume(name_);
  ASSERT_EQ(Ioctl(DM_DEV_SUSPEND, resume), 0) << strerror(errno);

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
  EXPECT_EQ(st.st_rdev, static_cast<dev_t>(create.io()->dev));
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
        DmRequest rm(name_);
        rm_errno = Ioctl(DM_DEV_REMOVE, rm) == 0 ? 0 : errno;
        return rm_errno != EBUSY;
      },
      std::chrono::seconds(5)));
  ASSERT_EQ(rm_errno, 0) << strerror(rm_errno);
  EXPECT_TRUE(WaitFor(none_there, std::chrono::seconds(5)));
}

}  // namespace
