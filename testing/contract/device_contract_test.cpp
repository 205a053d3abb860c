// Contract: devices — the backing disks, creation and its reply, device
// numbers, lookup, request framing, minor reuse.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>

#include "contract_env.h"
#include "contract_fixture.h"
#include "test_handle.h"

namespace contract {
namespace {

constexpr uint32_t kStructSize = sizeof(struct dm_ioctl);

TEST_F(DmContract, BackingDisksHaveTheirHeadersAndSizes) {
  std::set<std::string> numbers;
  for (const Disk& d : kDisks) {
    SCOPED_TRACE(d.path);
    unique_fd fd(open(d.path, O_RDONLY | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0) << strerror(errno);
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_END), static_cast<off_t>(d.size));
    char header[4];
    ASSERT_EQ(pread(fd.get(), header, sizeof(header), 0), 4);
    EXPECT_EQ(memcmp(header, d.header, 4), 0);
    const std::string number = DeviceNumberOf(d.path);
    EXPECT_NE(number, "");
    numbers.insert(number);
  }
  EXPECT_EQ(numbers.size(), std::size(kDisks)) << "device numbers must differ";
}

TEST_F(DmContract, CreateReplyDescribesTheNewDevice) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  DmRequest req = Named(name);
  req.SetUuid(uuid);
  // Bytes past the bare header are not part of the reply.
  memset(req.header()->data, 0x5a, sizeof(req.header()->data));
  Result r = CreateWith(std::move(req));
  ASSERT_EQ(r.error, 0) << strerror(r.error);
  const Version kernel = KernelVersion();
  EXPECT_EQ(r->version[0], 4u);
  EXPECT_EQ(r->version[1], kernel.minor);
  EXPECT_EQ(r->version[2], kernel.patch);
  EXPECT_EQ(r->data_size, kBareSize);
  EXPECT_EQ(r->data_start, kStructSize);
  EXPECT_EQ(r->flags, 0u);
  EXPECT_EQ(r->target_count, 0u);
  EXPECT_EQ(r->open_count, 0);
  EXPECT_EQ(r->event_nr, 0u);
  // The major is the kernel's own for mapped devices, none of the disks'.
  for (const Disk& d : kDisks) {
    EXPECT_NE(
        DeviceNumberOf(d.path).rfind(std::to_string(major(r->dev)) + ":", 0),
        0u)
        << d.path;
  }
  EXPECT_EQ(r->name, name);
  EXPECT_EQ(r->uuid, uuid);
  for (char c : r->data) EXPECT_EQ(c, 0x5a);

  Result status = Status(name);
  ASSERT_EQ(status.error, 0);
  EXPECT_EQ(status->dev, r->dev);
  EXPECT_EQ(status->flags, 0u);
  EXPECT_EQ(status->uuid, uuid);
}

TEST_F(DmContract, DeviceNumbersUseTheStandardEncoding) {
  Result first = Create(NewName());
  ASSERT_EQ(first.error, 0);
  const uint64_t dm_major = major(first->dev);
  // A minor above 255 needs the encoding's high part: with major 253, minor
  // 300 is 0x10fd2c. The real kernel gives it on request (only the minor of a
  // requested number counts); the fake, which the library never asks for a
  // number, as the lowest free one once devices fill the minors below.
  const uint32_t persistent = IsRealKernel() ? DM_PERSISTENT_DEV_FLAG : 0;
  for (std::string filler;
       !persistent && (filler.empty() || MinorOf(filler) < 299);) {
    filler = NewName();
    ASSERT_EQ(Create(filler).error, 0);
  }
  DmRequest req = Named(NewName(), persistent);
  req.header()->dev = makedev(dm_major, 300);
  Result r = CreateWith(std::move(req));
  ASSERT_EQ(r.error, 0) << strerror(r.error);
  EXPECT_EQ(r->dev,
            (300 & 0xff) | (dm_major << 8) | (uint64_t{300 & ~0xff} << 12))
      << std::hex << r->dev;
  EXPECT_EQ(minor(r->dev), 300u);
  EXPECT_EQ(major(r->dev), dm_major);
  EXPECT_EQ(r->flags, persistent) << "input flags come back";
  Result status = Status(r->name);
  EXPECT_EQ(status->dev, r->dev);

  // The library and the device manager decode it alike: the node the
  // device manager makes at the first load, and the library's number, text
  // and node path for the device.
  const std::string number = std::to_string(dm_major) + ":300";
  ASSERT_EQ(LoadLinear(r->name, {{8, "/dev/block/sda", 8}}).error, 0);
  ASSERT_TRUE(WaitFor(NodePath(300), true));
  EXPECT_EQ(DeviceNumberOf(NodePath(300)), number);
  if (IsRealKernel()) {
    std::ifstream sysfs("/sys/block/dm-300/dev");
    std::string line;
    EXPECT_TRUE(std::getline(sysfs, line));
    EXPECT_EQ(line, number);
  }
  android::dm::testing_util::TestDeviceMapper dm;
  std::string text;
  ASSERT_TRUE(dm.GetDeviceString(r->name, &text));
  EXPECT_EQ(text, number);
  unsigned long dev = 0;
  ASSERT_TRUE(dm.GetDeviceNumber(r->name, &dev));
  EXPECT_EQ(dev, r->dev);
  std::string path;
  ASSERT_TRUE(dm.GetDmDevicePathByName(r->name, &path));
  EXPECT_EQ(path, NodePath(300));

  // A taken minor: the kernel cannot make the device at all.
  if (!persistent) return;
  DmRequest again = Named(NewName(), DM_PERSISTENT_DEV_FLAG);
  again.header()->dev = makedev(dm_major, 300);
  EXPECT_EQ(CreateWith(std::move(again)).error, ENXIO);
  DmRequest taken_and_named = Named(r->name, DM_PERSISTENT_DEV_FLAG);
  taken_and_named.header()->dev = makedev(dm_major, 300);
  EXPECT_EQ(CreateWith(std::move(taken_and_named)).error, ENXIO)
      << "the minor is checked first";
}

TEST_F(DmContract, CreateRefusalsLeaveEverythingAsItWas) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  ASSERT_EQ(Create(name, uuid).error, 0);
  // The lowest free minor now: a refused creation must not use it up.
  const std::string probe = NewName();
  ASSERT_EQ(Create(probe).error, 0);
  const uint32_t free_minor = MinorOf(probe);
  ASSERT_EQ(Remove(probe).error, 0);

  const struct {
    const char* what;
    std::string name;
    std::string uuid;
    int error;
  } cases[] = {
      {"duplicate name", name, NewUuid(), EBUSY},
      {"duplicate uuid", NewName(), uuid, EBUSY},
      {"duplicate name and uuid", name, uuid, EBUSY},
      {"empty name", "", NewUuid(), EINVAL},
      {"slash in name", "qmct/slash", "", EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Create(c.name, c.uuid).error, c.error);
  }
  Result status = Status(name);
  ASSERT_EQ(status.error, 0);
  EXPECT_EQ(status->uuid, uuid);
  const std::string next = NewName();
  ASSERT_EQ(Create(next).error, 0);
  EXPECT_EQ(MinorOf(next), free_minor);
}

TEST_F(DmContract, UnterminatedNameAndUuidAreCut) {
  const struct {
    const char* what;
    bool uuid;
    size_t size;
  } cases[] = {
      {"name", false, DM_NAME_LEN},
      {"uuid", true, DM_UUID_LEN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = c.uuid ? NewUuid() : NewName();
    text.resize(c.size, 'q');  // fills the field: no NUL
    DmRequest req = Named(c.uuid ? NewName() : text);
    if (c.uuid) req.SetUuid(text);
    Result r = CreateWith(std::move(req));
    ASSERT_EQ(r.error, 0) << strerror(r.error);
    const std::string cut = text.substr(0, c.size - 1);
    EXPECT_EQ(c.uuid ? r->uuid : r->name, cut);
    // The library looks devices up by name alone.
    if (c.uuid && !IsRealKernel()) continue;
    DmRequest lookup;
    if (c.uuid) {
      lookup.SetUuid(cut);
    } else {
      lookup.SetName(cut);
    }
    EXPECT_EQ(Run(DM_DEV_STATUS, std::move(lookup)).error, 0);
  }
}

// A device is found by its name, its uuid or its number, one of them alone;
// the reply names it. The library names devices by name alone: the other
// ways are the real kernel's rows only.
TEST_F(DmContract, LookupByNameUuidOrDevice) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  Result created = Create(name, uuid);
  ASSERT_EQ(created.error, 0);
  const std::string records = LinearRecords({{8, "/dev/block/sdb", 0}});
  const struct {
    const char* what;
    unsigned long cmd;
    std::function<void(DmRequest&)> fill;
    int error;
    bool real_only = false;
  } cases[] = {
      {"status by name", DM_DEV_STATUS, [&](DmRequest& r) { r.SetName(name); },
       0},
      {"status by uuid", DM_DEV_STATUS, [&](DmRequest& r) { r.SetUuid(uuid); },
       0, true},
      {"status by device number", DM_DEV_STATUS,
       [&](DmRequest& r) { r.header()->dev = created->dev; }, 0, true},
      {"status, unknown name", DM_DEV_STATUS,
       [](DmRequest& r) { r.SetName("qmct-none"); }, ENXIO},
      {"status, unknown uuid", DM_DEV_STATUS,
       [](DmRequest& r) { r.SetUuid("qmct-none"); }, ENXIO, true},
      {"status, unknown device number", DM_DEV_STATUS,
       [](DmRequest& r) { r.header()->dev = makedev(253, 1048575); }, ENXIO,
       true},
      {"status, nothing named", DM_DEV_STATUS, [](DmRequest&) {}, ENXIO},
      {"status, name and uuid", DM_DEV_STATUS,
       [&](DmRequest& r) {
         r.SetName(name);
         r.SetUuid(uuid);
       },
       EINVAL, true},
      {"status, name and device number", DM_DEV_STATUS,
       [&](DmRequest& r) {
         r.SetName(name);
         r.header()->dev = created->dev;
       },
       ENXIO, true},
      {"status, uuid and device number", DM_DEV_STATUS,
       [&](DmRequest& r) {
         r.SetUuid(uuid);
         r.header()->dev = created->dev;
       },
       ENXIO, true},
      {"remove, unknown name", DM_DEV_REMOVE,
       [](DmRequest& r) { r.SetName("qmct-none"); }, ENXIO},
      {"resume, unknown name", DM_DEV_SUSPEND,
       [](DmRequest& r) { r.SetName("qmct-none"); }, ENXIO},
      {"suspend, unknown name", DM_DEV_SUSPEND,
       [](DmRequest& r) {
         r.SetName("qmct-none");
         r.header()->flags = DM_SUSPEND_FLAG;
       },
       ENXIO, true},
      {"load, unknown name", DM_TABLE_LOAD,
       [&](DmRequest& r) {
         r.SetName("qmct-none");
         r.SetTable(records, 1);
       },
       ENXIO},
      {"table status, unknown name", DM_TABLE_STATUS,
       [](DmRequest& r) { r.SetName("qmct-none"); }, ENXIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.real_only && !IsRealKernel()) continue;
    DmRequest req(4096);
    c.fill(req);
    Result r = Run(c.cmd, std::move(req));
    EXPECT_EQ(r.error, c.error) << strerror(r.error);
    if (c.error == 0 && r.error == 0) {
      EXPECT_EQ(r->name, name);
      EXPECT_EQ(r->uuid, uuid);
      EXPECT_EQ(r->dev, created->dev);
    }
  }
  EXPECT_EQ(Status(name).error, 0) << "the device is untouched";
}

TEST_F(DmContract, RequestFraming) {
  const std::string name = NewName();
  ASSERT_EQ(Create(name).error, 0);
  const Version kernel = KernelVersion();
  // Every line the library runs on speaks at least 4.47 (Linux 6.1).
  EXPECT_EQ(kernel.major, 4u);
  EXPECT_GE(kernel.minor, 47u);
  const struct {
    const char* what;
    unsigned long cmd;
    std::function<void(DmRequest&)> change;
    int error;
    bool version_written;  // the kernel's version comes back, even on failure
  } cases[] = {
      {"interface 3", DM_DEV_STATUS,
       [](DmRequest& r) { r.header()->version[0] = 3; }, EINVAL, true},
      {"interface 5", DM_DEV_STATUS,
       [](DmRequest& r) { r.header()->version[0] = 5; }, EINVAL, true},
      {"newer minor than the kernel's", DM_DEV_STATUS,
       [&](DmRequest& r) { r.header()->version[1] = kernel.minor + 1; }, EINVAL,
       true},
      {"the kernel's own minor", DM_DEV_STATUS,
       [&](DmRequest& r) { r.header()->version[1] = kernel.minor; }, 0, true},
      {"data_size below the bare header", DM_DEV_STATUS,
       [](DmRequest& r) { r.header()->data_size = kBareSize - 1; }, EINVAL,
       true},
      {"data_size of the bare header", DM_DEV_STATUS,
       [](DmRequest& r) { r.header()->data_size = kBareSize; }, 0, true},
      {"unknown device-mapper command", _IOWR(DM_IOCTL, 40, struct dm_ioctl),
       [](DmRequest&) {}, ENOTTY, true},
      {"foreign ioctl type", _IOWR('Q', DM_DEV_STATUS_CMD, struct dm_ioctl),
       [](DmRequest&) {}, ENOTTY, false},
      {"version query", DM_VERSION, [](DmRequest&) {}, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DmRequest req = Named(name);
    c.change(req);
    Result r = Run(c.cmd, std::move(req));
    EXPECT_EQ(r.error, c.error) << strerror(r.error);
    if (c.version_written) {
      EXPECT_EQ(r->version[0], kernel.major);
      EXPECT_EQ(r->version[1], kernel.minor);
      EXPECT_EQ(r->version[2], kernel.patch);
    } else {
      EXPECT_EQ(r->version[1], 0u);
    }
  }
}

TEST_F(DmContract, MinorsAreReusedLowestFirst) {
  for (bool with_table : {false, true}) {
    SCOPED_TRACE(with_table ? "devices with tables" : "devices without tables");
    const std::string a = NewName();
    const std::string b = NewName();
    ASSERT_EQ(Create(a).error, 0);
    ASSERT_EQ(Create(b).error, 0);
    const uint32_t minor_a = MinorOf(a);
    const uint32_t minor_b = MinorOf(b);
    EXPECT_GT(minor_b, minor_a);
    if (with_table) {
      ASSERT_EQ(LoadLinear(a, {{8, "/dev/block/sda", 8}}).error, 0);
      ASSERT_EQ(Resume(a).error, 0);
    }
    ASSERT_EQ(Remove(a).error, 0);
    const std::string c = NewName();
    ASSERT_EQ(Create(c).error, 0);
    EXPECT_EQ(MinorOf(c), minor_a);
    const std::string d = NewName();
    ASSERT_EQ(Create(d).error, 0);
    EXPECT_NE(MinorOf(d), minor_a);
    EXPECT_NE(MinorOf(d), minor_b);
    for (const std::string& n : {b, c, d}) ASSERT_EQ(Remove(n).error, 0);
  }
}

}  // namespace
}  // namespace contract
