// Contract: devices — the backing disks, creation and its reply, device
// numbers, lookup, request framing, minor reuse.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "contract_fixture.h"
#include "test_handle.h"

namespace contract {
namespace {

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

TEST_F(DmContract, DeviceNumbersUseTheStandardEncoding) {
  Result first = Create(NewName());
  ASSERT_EQ(first.error, 0);
  const uint64_t dm_major = major(first->dev);
  // A minor above 255 needs the encoding's high part: with major 253, minor
  // 300 is 0x10fd2c. The real kernel gives it on request (only the minor of a
  // requested number counts); the fake, which the library never asks for a
  // number, as the lowest free one once devices fill the minors below.
  const uint32_t persistent = IsRealKernel() ? DM_PERSISTENT_DEV_FLAG : 0;
  for (uint32_t m = minor(first->dev); !persistent && m < 299;) {
    Result filler = Create(NewName());
    ASSERT_EQ(filler.error, 0);
    m = minor(filler->dev);
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

  // A taken minor: no device, under a new name or a taken one (ENXIO, not
  // EBUSY: the minor is checked first).
  if (!persistent) return;
  for (const std::string& name : {NewName(), std::string(r->name)}) {
    DmRequest again = Named(name, DM_PERSISTENT_DEV_FLAG);
    again.header()->dev = makedev(dm_major, 300);
    EXPECT_EQ(CreateWith(std::move(again)).error, ENXIO) << name;
  }
}

TEST_F(DmContract, UnterminatedNameAndUuidAreCut) {
  std::string name = NewName();
  std::string uuid = NewUuid();
  name.resize(DM_NAME_LEN, 'q');  // fills the field: no NUL
  uuid.resize(DM_UUID_LEN, 'q');
  DmRequest req = Named(name);
  req.SetUuid(uuid);
  Result r = CreateWith(std::move(req));
  ASSERT_EQ(r.error, 0) << strerror(r.error);
  name.pop_back();
  uuid.pop_back();
  EXPECT_EQ(r->name, name);
  EXPECT_EQ(r->uuid, uuid);
  EXPECT_EQ(Status(name).error, 0);
  // The library looks devices up by name alone.
  if (!IsRealKernel()) return;
  DmRequest lookup;
  lookup.SetUuid(uuid);
  EXPECT_EQ(Run(DM_DEV_STATUS, std::move(lookup)).error, 0);
}

// The creation's reply describes the new device, which is then found by its
// name, its uuid or its number, one of them alone; the reply names it. The
// library names devices by name alone: the other ways are the real kernel's
// rows only.
TEST_F(DmContract, CreateReplyAndLookupByNameUuidOrDevice) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  DmRequest req = Named(name);
  req.SetUuid(uuid);
  // Bytes past the bare header are not part of the reply.
  memset(req.header()->data, 0x5a, sizeof(req.header()->data));
  Result created = CreateWith(std::move(req));
  ASSERT_EQ(created.error, 0) << strerror(created.error);
  const Version kernel = KernelVersion();
  EXPECT_EQ(created->version[0], 4u);
  EXPECT_EQ(created->version[1], kernel.minor);
  EXPECT_EQ(created->version[2], kernel.patch);
  EXPECT_EQ(created->data_size, kBareSize);
  EXPECT_EQ(created->data_start, kStructSize);
  EXPECT_EQ(created->flags, 0u);
  EXPECT_EQ(created->target_count, 0u);
  EXPECT_EQ(created->open_count, 0);
  EXPECT_EQ(created->event_nr, 0u);
  // The major is the kernel's own for mapped devices, none of the disks'.
  for (const Disk& d : kDisks) {
    EXPECT_NE(DeviceNumberOf(d.path).rfind(
                  std::to_string(major(created->dev)) + ":", 0),
              0u)
        << d.path;
  }
  EXPECT_EQ(created->name, name);
  EXPECT_EQ(created->uuid, uuid);
  for (char c : created->data) EXPECT_EQ(c, 0x5a);

  const std::string records = LinearRecords({{8, "/dev/block/sdb", 0}});
  const std::string none = "qmct-none";
  const dev_t dev = created->dev;
  const dev_t no_dev = makedev(253, 1048575);
  const struct {
    const char* what;
    unsigned long cmd;
    std::string name, uuid;
    dev_t dev;
    int error;
    bool real_only = false;
    uint32_t flags = 0;
  } cases[] = {
      {"status by name", DM_DEV_STATUS, name, "", 0, 0},
      {"status by uuid", DM_DEV_STATUS, "", uuid, 0, 0, true},
      {"status by device number", DM_DEV_STATUS, "", "", dev, 0, true},
      {"status, unknown name", DM_DEV_STATUS, none, "", 0, ENXIO},
      {"status, unknown uuid", DM_DEV_STATUS, "", none, 0, ENXIO, true},
      {"status, unknown device number", DM_DEV_STATUS, "", "", no_dev, ENXIO,
       true},
      {"status, nothing named", DM_DEV_STATUS, "", "", 0, ENXIO},
      {"status, name and uuid", DM_DEV_STATUS, name, uuid, 0, EINVAL, true},
      {"status, name and device number", DM_DEV_STATUS, name, "", dev, ENXIO,
       true},
      {"status, uuid and device number", DM_DEV_STATUS, "", uuid, dev, ENXIO,
       true},
      {"remove, unknown name", DM_DEV_REMOVE, none, "", 0, ENXIO},
      {"resume, unknown name", DM_DEV_SUSPEND, none, "", 0, ENXIO},
      {"suspend, unknown name", DM_DEV_SUSPEND, none, "", 0, ENXIO, true,
       DM_SUSPEND_FLAG},
      {"load, unknown name", DM_TABLE_LOAD, none, "", 0, ENXIO},
      {"table status, unknown name", DM_TABLE_STATUS, none, "", 0, ENXIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.real_only && !IsRealKernel()) continue;
    DmRequest lookup(4096);
    lookup.SetName(c.name);
    lookup.SetUuid(c.uuid);
    lookup.header()->dev = c.dev;
    lookup.header()->flags = c.flags;
    if (c.cmd == DM_TABLE_LOAD) lookup.SetTable(records, 1);
    Result r = Run(c.cmd, std::move(lookup));
    EXPECT_EQ(r.error, c.error) << strerror(r.error);
    if (c.error == 0 && r.error == 0) {
      EXPECT_EQ(r->name, name);
      EXPECT_EQ(r->uuid, uuid);
      EXPECT_EQ(r->dev, dev);
      EXPECT_EQ(r->flags, 0u);
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
    uint32_t version[2];  // the request's major and minor
    uint32_t data_size;   // the request's, when not 0
    int error;
    bool version_written;  // the kernel's version comes back, even on failure
  } cases[] = {
      {"interface 3", DM_DEV_STATUS, {3, 0}, 0, EINVAL, true},
      {"interface 5", DM_DEV_STATUS, {5, 0}, 0, EINVAL, true},
      {"newer minor than the kernel's",
       DM_DEV_STATUS,
       {4, kernel.minor + 1},
       0,
       EINVAL,
       true},
      {"the kernel's own minor", DM_DEV_STATUS, {4, kernel.minor}, 0, 0, true},
      {"data_size below the bare header",
       DM_DEV_STATUS,
       {4, 0},
       kBareSize - 1,
       EINVAL,
       true},
      {"data_size of the bare header",
       DM_DEV_STATUS,
       {4, 0},
       kBareSize,
       0,
       true},
      {"unknown device-mapper command",
       _IOWR(DM_IOCTL, 40, struct dm_ioctl),
       {4, 0},
       0,
       ENOTTY,
       true},
      {"foreign ioctl type",
       _IOWR('Q', DM_DEV_STATUS_CMD, struct dm_ioctl),
       {4, 0},
       0,
       ENOTTY,
       false},
      {"version query", DM_VERSION, {4, 0}, 0, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DmRequest req = Named(name);
    req.header()->version[0] = c.version[0];
    req.header()->version[1] = c.version[1];
    if (c.data_size) req.header()->data_size = c.data_size;
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

// Refused creations leave the device they collide with as it was and use up
// no minor: the lowest free one goes to the next device made.
TEST_F(DmContract, MinorsAreReusedLowestFirstAndRefusalsTakeNone) {
  for (bool with_table : {false, true}) {
    SCOPED_TRACE(with_table ? "devices with tables" : "devices without tables");
    const std::string a = NewName();
    const std::string b = NewName();
    const std::string b_uuid = NewUuid();
    ASSERT_EQ(Create(a).error, 0);
    ASSERT_EQ(Create(b, b_uuid).error, 0);
    const uint32_t minor_a = MinorOf(a);
    const uint32_t minor_b = MinorOf(b);
    EXPECT_GT(minor_b, minor_a);
    if (with_table) {
      ASSERT_EQ(LoadLinear(a, {{8, "/dev/block/sda", 8}}).error, 0);
      ASSERT_EQ(Resume(a).error, 0);
    }
    ASSERT_EQ(Remove(a).error, 0);
    const struct {
      const char* what;
      std::string name;
      std::string uuid;
      int error;
    } refusals[] = {
        {"duplicate name", b, NewUuid(), EBUSY},
        {"duplicate uuid", NewName(), b_uuid, EBUSY},
        {"duplicate name and uuid", b, b_uuid, EBUSY},
        {"empty name", "", NewUuid(), EINVAL},
        {"slash in name", "qmct/slash", "", EINVAL},
    };
    for (const auto& r : refusals) {
      SCOPED_TRACE(r.what);
      EXPECT_EQ(Create(r.name, r.uuid).error, r.error);
    }
    Result status = Status(b);
    ASSERT_EQ(status.error, 0);
    EXPECT_EQ(status->uuid, b_uuid);
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
