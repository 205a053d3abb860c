// The control handle against the real Linux device-mapper: device lifecycle,
// device numbers, paths and their waits, table queries and the redaction of
// crypt keys. Runs only inside a guest made by testing/vm/run-guest.sh with
// the disks that libdm/realkernel/CMakeLists.txt registers.
//
// QUILLMAP_RK_DEVMGR says whether the guest runs the device-manager stand-in
// ("1", the default) or not ("0"); each suite skips itself in the other kind
// of guest. Every device a test registers is named "rk_*" and removed again
// by the fixture through a control descriptor of its own, so that a failing
// case neither hides nor disturbs the next one; the fixture then checks that
// the kernel holds no device at all.
//
// The kernel is asked directly (raw ioctls on our own descriptor, sysfs,
// stat of nodes) as the witness for what the library reports.
#include <android-base/unique_fd.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/dm-ioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "android-base/logging.h"
#include "libdm/dm.h"
#include "libdm/dm_table.h"
#include "libdm/dm_target.h"

namespace android {
namespace dm {

// Lets the test output name the states.
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

namespace {

using std::chrono::milliseconds;

// The guest's disks (see CMakeLists.txt): 4 MiB each, a 4-byte header and a
// pseudo-random pattern that differs per disk and per sector.
constexpr char kLinearDisk[] = "/dev/block/rk_linear";
constexpr char kCryptDisk[] = "/dev/block/rk_crypt";
constexpr uint64_t kDiskSectors = (4u << 20) / 512;
constexpr char kLinkPrefix[] = "/dev/block/mapper/by-uuid/";
constexpr char kNodePrefix[] = "/dev/block/dm-";
// What the program waits for a device's link.
constexpr milliseconds kCreateTimeout(500);
// How long the stand-in may take to act on a uevent before a test gives up
// on it (its worst case measured under emulation is far below this).
constexpr milliseconds kStandInPatience(5000);

bool DeviceManagerExpected() {
  const char* value = getenv("QUILLMAP_RK_DEVMGR");
  return value == nullptr || std::string(value) != "0";
}

// A fresh library handle per test; the process-wide one would outlive them.
struct Handle : DeviceMapper {};

// Redirects this process's stderr (where the library logs) into a temporary
// file until Stop(), which returns what was written. Restores stderr on
// every path.
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    char path[] = "/tmp/rk-stderr.XXXXXX";
    file_ = mkstemp(path);
    if (file_ >= 0) {
      unlink(path);
      saved_ = dup(STDERR_FILENO);
      dup2(file_, STDERR_FILENO);
    }
  }
  ~StderrCapture() { Stop(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  bool ok() const { return file_ >= 0 && saved_ >= 0; }

  std::string Stop() {
    if (saved_ >= 0) {
      fflush(stderr);
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      saved_ = -1;
      lseek(file_, 0, SEEK_SET);
      char buffer[4096];
      ssize_t n;
      while ((n = read(file_, buffer, sizeof(buffer))) > 0) {
        text_.append(buffer, static_cast<size_t>(n));
      }
    }
    if (file_ >= 0) {
      close(file_);
      file_ = -1;
    }
    return text_;
  }

 private:
  int file_ = -1;
  int saved_ = -1;
  std::string text_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old != nullptr) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Removes the directory |path| with the entries in it (no subfolders);
// true when it is gone.
bool RemoveDirectory(const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path.c_str()), closedir);
  if (!dir) return errno == ENOENT;
  while (const struct dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") unlink((path + "/" + name).c_str());
  }
  return rmdir(path.c_str()) == 0;
}

// Polls |done| every 5 ms for up to |limit|; true once it held.
bool WaitFor(const std::function<bool()>& done, milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
  return true;
}

// |len| bytes at |offset| of |path|; shorter (possibly empty) on failure.
std::string ReadAt(const std::string& path, off_t offset, size_t len) {
  android::base::unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string data(len, '\0');
  size_t done = 0;
  while (fd.get() >= 0 && done < len) {
    ssize_t n = pread(fd.get(), &data[done], len - done,
                      offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  data.resize(done);
  return data;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

std::string DevText(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The device-mapper block major, from the kernel's list of drivers.
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

// The dm-N entries of /sys/block.
std::vector<std::string> SysfsDmDevices() {
  std::vector<std::string> found;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/sys/block"), closedir);
  if (!dir) return found;
  while (const struct dirent* entry = readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name.rfind("dm-", 0) == 0) found.push_back(name);
  }
  return found;
}

// One target of a table as the kernel reports it.
struct RawTarget {
  std::string type;
  uint64_t start;
  uint64_t length;
  std::string text;
};

// Requests on a control descriptor of our own: the witness for what the
// library says, and the means to set up states the library has no call for.
class Control {
 public:
  Control() : fd_(open("/dev/device-mapper", O_RDWR | O_CLOEXEC)) {}
  bool ok() const { return fd_.get() >= 0; }

  // Issues |request| about |name| with a reply buffer of |size| bytes;
  // returns 0 or the errno. |*reply| holds the whole buffer.
  int Request(unsigned long request, const std::string& name, uint32_t flags,
              std::vector<char>* reply, size_t size = 16384) const {
    reply->assign(size, '\0');
    struct dm_ioctl io = {};
    io.version[0] = DM_VERSION_MAJOR;
    io.data_size = static_cast<uint32_t>(size);
    io.data_start = sizeof(io);
    io.flags = flags;
    snprintf(io.name, sizeof(io.name), "%s", name.c_str());
    memcpy(reply->data(), &io, sizeof(io));
    if (ioctl(fd_.get(), request, reply->data()) != 0) return errno;
    return 0;
  }

  // DM_DEV_STATUS; 0 or the errno.
  int Status(const std::string& name, struct dm_ioctl* io) const {
    std::vector<char> reply;
    const int error = Request(DM_DEV_STATUS, name, 0, &reply);
    memcpy(io, reply.data(), sizeof(*io));
    return error;
  }

  int Suspend(const std::string& name) const {
    std::vector<char> reply;
    return Request(DM_DEV_SUSPEND, name, DM_SUSPEND_FLAG, &reply);
  }
  int Resume(const std::string& name) const {
    std::vector<char> reply;
    return Request(DM_DEV_SUSPEND, name, 0, &reply);
  }

  // Removes |name|; retries while the device is busy (something may still
  // have it open for a moment). 0, or the last errno.
  int Remove(const std::string& name) const {
    int error = 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
      std::vector<char> reply;
      error = Request(DM_DEV_REMOVE, name, 0, &reply);
      if (error != EBUSY) break;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return error;
  }

  // The live table's targets; with DM_STATUS_TABLE_FLAG their table lines
  // as the kernel holds them (keys included), else their status lines.
  std::vector<RawTarget> Table(const std::string& name, uint32_t flags) const {
    std::vector<RawTarget> targets;
    std::vector<char> reply;
    if (Request(DM_TABLE_STATUS, name, flags, &reply, 65536) != 0) {
      return targets;
    }
    struct dm_ioctl io;
    memcpy(&io, reply.data(), sizeof(io));
    // The witness trusts the kernel but not beyond its own buffer.
    size_t cursor = io.data_start;
    for (uint32_t i = 0; i < io.target_count; ++i) {
      if (cursor + sizeof(struct dm_target_spec) >= reply.size()) break;
      struct dm_target_spec record;
      memcpy(&record, reply.data() + cursor, sizeof(record));
      const char* text = reply.data() + cursor + sizeof(record);
      targets.push_back(
          {std::string(record.target_type,
                       strnlen(record.target_type, sizeof(record.target_type))),
           record.sector_start, record.length,
           std::string(text,
                       strnlen(text, reply.size() - cursor - sizeof(record)))});
      cursor = io.data_start + record.next;
    }
    return targets;
  }

  // The names of all devices the kernel holds.
  std::vector<std::string> List() const {
    std::vector<std::string> names;
    std::vector<char> reply;
    if (Request(DM_LIST_DEVICES, "", 0, &reply, 1 << 20) != 0) return names;
    struct dm_ioctl io;
    memcpy(&io, reply.data(), sizeof(io));
    size_t cursor = io.data_start;
    while (cursor + sizeof(struct dm_name_list) < reply.size()) {
      struct dm_name_list entry;
      memcpy(&entry, reply.data() + cursor, sizeof(entry));
      if (entry.dev == 0) break;  // the kernel's "no devices"
      names.emplace_back(reply.data() + cursor + offsetof(dm_name_list, name));
      if (entry.next == 0) break;
      cursor += entry.next;
    }
    return names;
  }

 private:
  android::base::unique_fd fd_;
};

std::unique_ptr<DmTarget> Linear(uint64_t start, uint64_t length,
                                 const std::string& device, uint64_t sector) {
  return std::make_unique<DmTargetLinear>(start, length, device, sector);
}

DmTable OneLinear(uint64_t length, uint64_t sector) {
  DmTable table;
  EXPECT_TRUE(table.AddTarget(Linear(0, length, kLinearDisk, sector)));
  return table;
}

// A dm-crypt target over a whole device with a plain hex key.
class CryptTarget final : public DmTarget {
 public:
  CryptTarget(uint64_t length, const std::string& cipher,
              const std::string& key, const std::string& device)
      : DmTarget(0, length), cipher_(cipher), key_(key), device_(device) {}
  std::string name() const override { return "crypt"; }
  std::string GetParameterString() const override {
    return cipher_ + " " + key_ + " 0 " + device_ + " 0";
  }

 private:
  const std::string cipher_;
  const std::string key_;
  const std::string device_;
};

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (in >> field) fields.push_back(field);
  return fields;
}

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

class RealKernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(control_.ok()) << "no control node: " << strerror(errno);
    ASSERT_NE(DmMajor(), 0u) << "no device-mapper in /proc/devices";
  }

  void TearDown() override {
    for (const std::string& name : names_) {
      const int error = control_.Remove(name);
      EXPECT_TRUE(error == 0 || error == ENXIO)
          << "cannot remove " << name << ": " << strerror(error);
    }
    // Whatever the library made and did not remove would show here.
    EXPECT_EQ(control_.List(), std::vector<std::string>{});
  }

  // A name the fixture removes at the end of the test.
  std::string Name(const std::string& suffix) {
    names_.push_back("rk_" + suffix);
    return names_.back();
  }

  Control control_;
  Handle dm_;
  std::vector<std::string> names_;
};

class WithDeviceManager : public RealKernelTest {
 protected:
  void SetUp() override {
    if (!DeviceManagerExpected()) GTEST_SKIP() << "guest without stand-in";
    RealKernelTest::SetUp();
  }
};

class WithoutDeviceManager : public RealKernelTest {
 protected:
  void SetUp() override {
    if (DeviceManagerExpected()) GTEST_SKIP() << "guest with stand-in";
    RealKernelTest::SetUp();
  }
};

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
      {"resume", [&] { return control_.Resume(name) == 0; },
       DeviceState::Active, DM_ACTIVE_PRESENT_FLAG},
      {"suspend", [&] { return control_.Suspend(name) == 0; },
       DeviceState::Inactive, DM_ACTIVE_PRESENT_FLAG | DM_SUSPEND_FLAG},
      {"load while live", [&] { return dm_.LoadTable(name, OneLinear(16, 0)); },
       DeviceState::Inactive,
       DM_ACTIVE_PRESENT_FLAG | DM_INACTIVE_PRESENT_FLAG | DM_SUSPEND_FLAG},
      {"resume again", [&] { return control_.Resume(name) == 0; },
       DeviceState::Active, DM_ACTIVE_PRESENT_FLAG},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(step.act());
    EXPECT_EQ(dm_.GetState(name), step.state);
    struct dm_ioctl io;
    ASSERT_EQ(control_.Status(name, &io), 0);
    EXPECT_EQ(io.flags & kMask, step.flags);
  }
  // The second load went live: the kernel now maps 16 sectors.
  const std::vector<RawTarget> live = control_.Table(name, 0);
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].length, 16u);

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
    struct dm_ioctl io;
    ASSERT_EQ(control_.Status(name, &io), 0);
    made.emplace_back(name, minor(io.dev));
    if (minor(io.dev) >= 300) break;
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

  struct dm_ioctl io;
  ASSERT_EQ(control_.Status(name, &io), 0);
  EXPECT_EQ(path, kNodePrefix + std::to_string(minor(io.dev)));
  const std::string uuid(io.uuid, strnlen(io.uuid, sizeof(io.uuid)));
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
  EXPECT_EQ(st.st_rdev, static_cast<dev_t>(io.dev));
  ASSERT_TRUE(WaitFor([&] { return Exists(path); }, kStandInPatience));
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(st.st_rdev, static_cast<dev_t>(io.dev));

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
  struct dm_ioctl before;
  ASSERT_EQ(control_.Status(holder, &before), 0);

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

  struct dm_ioctl after;
  ASSERT_EQ(control_.Status(holder, &after), 0);
  EXPECT_EQ(after.dev, before.dev);
  EXPECT_STREQ(after.uuid, before.uuid);
  EXPECT_EQ(dm_.GetState(holder), DeviceState::Active);
  const std::vector<RawTarget> table =
      control_.Table(holder, DM_STATUS_TABLE_FLAG);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].length, 64u);
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
    std::atomic<bool> removed(false);
    std::thread manager;
    if (c.slow_manager) {
      ASSERT_EQ(unlink(link.c_str()), 0);
      ASSERT_EQ(mkdir(link.c_str(), 0755), 0);
      manager = std::thread([&] {
        struct dm_ioctl io;
        Control side;
        WaitFor([&] { return side.Status(name, &io) == ENXIO; },
                milliseconds(10000));
        std::this_thread::sleep_for(c.late);
        if (WaitFor([&] { return RemoveDirectory(link); },
                    milliseconds(5000))) {
          removed.store(true);
        }
      });
    }

    const bool deleted = dm_.DeleteDevice(name, c.timeout);
    const bool link_left = Exists(link);
    const bool removed_before_return = removed.load();
    const std::string log = capture.Stop();
    if (manager.joinable()) manager.join();

    EXPECT_EQ(deleted, c.deleted) << log;
    struct dm_ioctl io;
    EXPECT_EQ(control_.Status(name, &io), ENXIO);
    if (c.deleted) {
      EXPECT_FALSE(link_left) << link << " outlived the wait";
      if (c.slow_manager) {
        EXPECT_TRUE(removed_before_return);
      }
      EXPECT_EQ(log, "");
    } else {
      EXPECT_TRUE(link_left);
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
    struct dm_ioctl io;
    EXPECT_EQ(control_.Status(name, &io), ENXIO);
    EXPECT_EQ(dm_.GetState(name), DeviceState::Unavailable);
  }
}

TEST_F(WithDeviceManager, TableQueriesReportWhatTheKernelHolds) {
  struct stat backing;
  ASSERT_EQ(stat(kLinearDisk, &backing), 0);
  const std::string disk = DevText(backing.st_rdev);

  struct Piece {
    uint64_t start, length, sector;
  };
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
  };
  const Case cases[] = {
      {"one target", {{0, kDiskSectors - 8, 8}}},
      {"three targets", {{0, 100, 8}, {100, 1, 4000}, {101, 2000, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name =
        Name(std::string("table_") + std::to_string(c.pieces.size()));
    DmTable table;
    for (const Piece& p : c.pieces) {
      ASSERT_TRUE(
          table.AddTarget(Linear(p.start, p.length, kLinearDisk, p.sector)));
    }
    ASSERT_TRUE(dm_.CreateEmptyDevice(name));
    ASSERT_TRUE(dm_.LoadTableAndActivate(name, table));

    std::vector<IDeviceMapper::TargetInfo> info;
    ASSERT_TRUE(dm_.GetTableInfo(name, &info));
    std::vector<IDeviceMapper::TargetInfo> status;
    ASSERT_TRUE(dm_.GetTableStatus(name, &status));
    ASSERT_EQ(info.size(), c.pieces.size());
    ASSERT_EQ(status.size(), c.pieces.size());
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      SCOPED_TRACE("target " + std::to_string(i));
      EXPECT_EQ(DeviceMapper::GetTargetType(info[i].spec), "linear");
      EXPECT_EQ(info[i].spec.sector_start, c.pieces[i].start);
      EXPECT_EQ(info[i].spec.length, c.pieces[i].length);
      EXPECT_EQ(info[i].data, disk + " " + std::to_string(c.pieces[i].sector));
      EXPECT_EQ(DeviceMapper::GetTargetType(status[i].spec), "linear");
      EXPECT_EQ(status[i].spec.sector_start, c.pieces[i].start);
      EXPECT_EQ(status[i].spec.length, c.pieces[i].length);
      EXPECT_EQ(status[i].data, "");
    }
    ASSERT_TRUE(dm_.DeleteDevice(name, milliseconds(0)));
  }
}

TEST_F(WithDeviceManager, CryptKeysNeverLeaveTheKernel) {
  struct stat backing;
  ASSERT_EQ(stat(kCryptDisk, &backing), 0);
  struct Case {
    const char* cipher;
    const char* key;
  };
  const Case cases[] = {
      {"aes-cbc-essiv:sha256",
       "5f4dcc3b5aa765d61d8327deb882cf99a1b2c3d4e5f60718293a4b5c6d7e8f90"},
      {"aes-xts-plain64",
       "00112233445566778899aabbccddeeffffeeddccbbaa99887766554433221100"
       "0f1e2d3c4b5a69788796a5b4c3d2e1f0f0e1d2c3b4a5968778695a4b3c2d1e0f"},
  };
  ScopedEnv verbose("ANDROID_LOG_TAGS", "*:v");
  ASSERT_TRUE(android::base::ShouldLog(android::base::VERBOSE, nullptr));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cipher);
    const std::string name =
        Name(std::string("crypt_") + (strstr(c.cipher, "xts") ? "xts" : "cbc"));
    DmTable table;
    ASSERT_TRUE(table.AddTarget(std::make_unique<CryptTarget>(
        kDiskSectors, c.cipher, c.key, kCryptDisk)));
    DmTable broken;
    ASSERT_TRUE(broken.AddTarget(std::make_unique<CryptTarget>(
        kDiskSectors, c.cipher, c.key, "/dev/block/rk_no_such_disk")));

    std::vector<IDeviceMapper::TargetInfo> info;
    std::vector<IDeviceMapper::TargetInfo> status;
    StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    const bool made =
        dm_.CreateEmptyDevice(name) && dm_.LoadTableAndActivate(name, table);
    const bool got_info = dm_.GetTableInfo(name, &info);
    const bool got_status = dm_.GetTableStatus(name, &status);
    // A refused table is logged: the key must not be in that line either.
    const bool broken_loaded = dm_.LoadTable(name, broken);
    const std::string log = capture.Stop();

    ASSERT_TRUE(made) << log;
    ASSERT_TRUE(got_info) << log;
    ASSERT_TRUE(got_status) << log;
    EXPECT_FALSE(broken_loaded);
    EXPECT_NE(log.find("DM_TABLE_LOAD failed"), std::string::npos) << log;

    // The kernel holds the real key ...
    const std::vector<RawTarget> raw =
        control_.Table(name, DM_STATUS_TABLE_FLAG);
    ASSERT_EQ(raw.size(), 1u);
    const std::vector<std::string> kernel_fields = Fields(raw[0].text);
    ASSERT_GE(kernel_fields.size(), 5u) << raw[0].text;
    EXPECT_EQ(kernel_fields[1], c.key);

    // ... and the library hands out its line with only the key replaced.
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(DeviceMapper::GetTargetType(info[0].spec), "crypt");
    std::vector<std::string> expected = kernel_fields;
    expected[1] = "redacted";
    EXPECT_EQ(Fields(info[0].data), expected);
    EXPECT_EQ(kernel_fields[3], DevText(backing.st_rdev));

    for (const std::string& key : {std::string(c.key), Upper(c.key)}) {
      EXPECT_EQ(log.find(key), std::string::npos) << "key in the log";
      for (const auto& entry : info) {
        EXPECT_EQ(entry.data.find(key), std::string::npos) << entry.data;
      }
      for (const auto& entry : status) {
        EXPECT_EQ(entry.data.find(key), std::string::npos) << entry.data;
      }
    }
    ASSERT_TRUE(dm_.DeleteDevice(name, milliseconds(0)));
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
    Control side;
    while (!stop.load()) {
      struct dm_ioctl io;
      if (side.Status(name, &io) == 0 && io.uuid[0] != '\0') {
        seen_uuid.assign(io.uuid, strnlen(io.uuid, sizeof(io.uuid)));
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

  struct dm_ioctl io;
  EXPECT_EQ(control_.Status(name, &io), ENXIO);
  EXPECT_EQ(control_.List(), std::vector<std::string>{});
  EXPECT_EQ(SysfsDmDevices(), std::vector<std::string>{});
  std::cout << "[ info     ] CreateDevice gave up after " << waited.count()
            << " ms\n";
}

}  // namespace
}  // namespace dm
}  // namespace android
