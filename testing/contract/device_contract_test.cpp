// Contract: devices — creation and its reply, device numbers, lookup, request
// framing, status flags through a device's life, removal, minor reuse.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>

#include "contract_env.h"
#include "contract_fixture.h"

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
  EXPECT_EQ(r->version[0], 4u);
  EXPECT_EQ(r->version[1], 47u);
  EXPECT_EQ(r->version[2], 0u);
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
  // 300 is 0x10fd2c. Only the minor of a requested number counts.
  DmRequest req = Named(NewName(), DM_PERSISTENT_DEV_FLAG);
  req.header()->dev = makedev(dm_major, 300);
  Result r = CreateWith(std::move(req));
  ASSERT_EQ(r.error, 0) << strerror(r.error);
  EXPECT_EQ(r->dev,
            (300 & 0xff) | (dm_major << 8) | (uint64_t{300 & ~0xff} << 12))
      << std::hex << r->dev;
  EXPECT_EQ(minor(r->dev), 300u);
  EXPECT_EQ(major(r->dev), dm_major);
  EXPECT_EQ(r->flags, static_cast<uint32_t>(DM_PERSISTENT_DEV_FLAG))
      << "input flags come back";
  Result status = Status(r->name);
  EXPECT_EQ(status->dev, r->dev);

  // A taken minor: the kernel cannot make the device at all.
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
    DmRequest lookup;
    if (c.uuid) {
      lookup.SetUuid(cut);
    } else {
      lookup.SetName(cut);
    }
    EXPECT_EQ(Run(DM_DEV_STATUS, std::move(lookup)).error, 0);
  }
}

TEST_F(DmContract, LookupByNameUuidOrDevice) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  Result created = Create(name, uuid);
  ASSERT_EQ(created.error, 0);
  const struct {
    const char* what;
    std::function<void(DmRequest&)> pick;
  } cases[] = {
      {"name", [&](DmRequest& r) { r.SetName(name); }},
      {"uuid", [&](DmRequest& r) { r.SetUuid(uuid); }},
      {"device number", [&](DmRequest& r) { r.header()->dev = created->dev; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DmRequest req;
    c.pick(req);
    Result r = Run(DM_DEV_STATUS, std::move(req));
    ASSERT_EQ(r.error, 0) << strerror(r.error);
    EXPECT_EQ(r->name, name) << "the reply names the device";
    EXPECT_EQ(r->uuid, uuid);
    EXPECT_EQ(r->dev, created->dev);
  }
}

TEST_F(DmContract, LookupErrors) {
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
  } cases[] = {
      {"status, unknown name", DM_DEV_STATUS,
       [](DmRequest& r) { r.SetName("qmct-none"); }, ENXIO},
      {"status, unknown uuid", DM_DEV_STATUS,
       [](DmRequest& r) { r.SetUuid("qmct-none"); }, ENXIO},
      {"status, unknown device number", DM_DEV_STATUS,
       [](DmRequest& r) { r.header()->dev = makedev(253, 1048575); }, ENXIO},
      {"status, nothing named", DM_DEV_STATUS, [](DmRequest&) {}, ENXIO},
      {"status, name and uuid", DM_DEV_STATUS,
       [&](DmRequest& r) {
         r.SetName(name);
         r.SetUuid(uuid);
       },
       EINVAL},
      {"status, name and device number", DM_DEV_STATUS,
       [&](DmRequest& r) {
         r.SetName(name);
         r.header()->dev = created->dev;
       },
       ENXIO},
      {"status, uuid and device number", DM_DEV_STATUS,
       [&](DmRequest& r) {
         r.SetUuid(uuid);
         r.header()->dev = created->dev;
       },
       ENXIO},
      {"remove, unknown name", DM_DEV_REMOVE,
       [](DmRequest& r) { r.SetName("qmct-none"); }, ENXIO},
      {"resume, unknown name", DM_DEV_SUSPEND,
       [](DmRequest& r) { r.SetName("qmct-none"); }, ENXIO},
      {"suspend, unknown name", DM_DEV_SUSPEND,
       [](DmRequest& r) {
         r.SetName("qmct-none");
         r.header()->flags = DM_SUSPEND_FLAG;
       },
       ENXIO},
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
    DmRequest req(4096);
    c.fill(req);
    EXPECT_EQ(Run(c.cmd, std::move(req)).error, c.error);
  }
  EXPECT_EQ(Status(name).error, 0) << "the device is untouched";
}

TEST_F(DmContract, RequestFraming) {
  const std::string name = NewName();
  ASSERT_EQ(Create(name).error, 0);
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
       [](DmRequest& r) { r.header()->version[1] = 48; }, EINVAL, true},
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
      EXPECT_EQ(r->version[0], 4u);
      EXPECT_EQ(r->version[1], 47u);
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

// Steps of a device's life and what the kernel reports after each.
enum class Op {
  kLoadOne,
  kLoadTwo,
  kLoadReadOnly,
  kLoadTooLong,
  kResume,
  kSuspend
};

struct Step {
  Op op;
  int error;
  uint32_t reply_flags;     // checked on success
  uint32_t status_flags;    // DM_DEV_STATUS afterwards
  uint32_t live_targets;    // its target_count
  uint32_t staged_targets;  // target_count with DM_QUERY_INACTIVE_TABLE_FLAG
};

struct Life {
  const char* name;
  std::vector<Step> steps;
};

class DeviceLife : public DmContract, public testing::WithParamInterface<Life> {
 protected:
  Result Apply(Op op, const std::string& name) {
    const uint64_t sdb = DiskSectors("/dev/block/sdb");
    switch (op) {
      case Op::kLoadOne:
        return LoadLinear(name, {{16, "/dev/block/sdb", 8}});
      case Op::kLoadTwo:
        return LoadLinear(
            name, {{16, "/dev/block/sdb", 8}, {8, "/dev/block/sda", 8}});
      case Op::kLoadReadOnly:
        return LoadLinear(name, {{16, "/dev/block/sdb", 8}}, DM_READONLY_FLAG);
      case Op::kLoadTooLong:
        return LoadLinear(name, {{sdb - 8 + 1, "/dev/block/sdb", 8}});
      case Op::kResume:
        return Resume(name);
      case Op::kSuspend:
        return Suspend(name);
    }
    return Result{EINVAL, DmRequest()};
  }
};

TEST_P(DeviceLife, FlagsAndCountsAfterEachStep) {
  const std::string name = NewName();
  Result created = Create(name, NewUuid());
  ASSERT_EQ(created.error, 0);
  EXPECT_EQ(created->flags, 0u);
  int index = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    Result r = Apply(s.op, name);
    ASSERT_EQ(r.error, s.error) << strerror(r.error);
    if (s.error == 0) {
      EXPECT_EQ(r->flags, s.reply_flags) << std::hex << r->flags;
    }
    Result status = Status(name);
    ASSERT_EQ(status.error, 0);
    EXPECT_EQ(status->flags, s.status_flags) << std::hex << status->flags;
    EXPECT_EQ(status->target_count, s.live_targets);
    Result staged = Status(name, DM_QUERY_INACTIVE_TABLE_FLAG);
    ASSERT_EQ(staged.error, 0);
    EXPECT_EQ(staged->target_count, s.staged_targets);
  }
}

constexpr uint32_t kActive = DM_ACTIVE_PRESENT_FLAG;
constexpr uint32_t kInactive = DM_INACTIVE_PRESENT_FLAG;
constexpr uint32_t kUevent = DM_UEVENT_GENERATED_FLAG;
constexpr uint32_t kSuspended = DM_SUSPEND_FLAG;
constexpr uint32_t kReadOnly = DM_READONLY_FLAG;

INSTANTIATE_TEST_SUITE_P(
    Contract, DeviceLife,
    testing::Values(Life{"LoadResumeReload",
                         {{Op::kLoadOne, 0, kInactive, kInactive, 0, 1},
                          {Op::kResume, 0, kUevent | kActive, kActive, 1, 0},
                          {Op::kLoadTwo, 0, kActive | kInactive,
                           kActive | kInactive, 1, 2},
                          {Op::kSuspend, 0, kSuspended | kActive | kInactive,
                           kSuspended | kActive | kInactive, 1, 2},
                          {Op::kResume, 0, kUevent | kActive, kActive, 2, 0},
                          {Op::kResume, 0, kActive, kActive, 2, 0}}},
                    Life{"SuspendAndResumeKeepTheTable",
                         {{Op::kLoadOne, 0, kInactive, kInactive, 0, 1},
                          {Op::kResume, 0, kUevent | kActive, kActive, 1, 0},
                          {Op::kSuspend, 0, kSuspended | kActive,
                           kSuspended | kActive, 1, 0},
                          {Op::kSuspend, 0, kSuspended | kActive,
                           kSuspended | kActive, 1, 0},
                          {Op::kResume, 0, kUevent | kActive, kActive, 1, 0}}},
                    Life{"ResumeWithoutTable", {{Op::kResume, 0, 0, 0, 0, 0}}},
                    Life{"SuspendedWithoutTableCannotResume",
                         {{Op::kSuspend, 0, kSuspended, kSuspended, 0, 0},
                          {Op::kResume, EINVAL, 0, kSuspended, 0, 0}}},
                    Life{"ReadOnlyTable",
                         {{Op::kLoadReadOnly, 0, kInactive, kInactive, 0, 1},
                          {Op::kResume, 0, kUevent | kActive | kReadOnly,
                           kActive | kReadOnly, 1, 0}}},
                    Life{"TooLongFirstTableLeavesNoTable",
                         {{Op::kLoadTooLong, EINVAL, 0, 0, 0, 0},
                          {Op::kResume, 0, 0, 0, 0, 0},
                          {Op::kLoadOne, 0, kInactive, kInactive, 0, 1}}},
                    Life{"TooLongLaterTableFailsAtResume",
                         {{Op::kLoadOne, 0, kInactive, kInactive, 0, 1},
                          {Op::kResume, 0, kUevent | kActive, kActive, 1, 0},
                          {Op::kLoadTooLong, 0, kActive | kInactive,
                           kActive | kInactive, 1, 1},
                          {Op::kResume, EINVAL, 0, kSuspended | kActive, 1, 0},
                          {Op::kResume, 0, kUevent | kActive, kActive, 1, 0}}}),
    [](const testing::TestParamInfo<Life>& info) { return info.param.name; });

TEST_F(DmContract, RemovalReplyTellsWhetherAUeventWent) {
  const uint64_t sdb = DiskSectors("/dev/block/sdb");
  const std::vector<Linear> one = {{16, "/dev/block/sdb", 8}};
  const std::vector<Linear> too_long = {{sdb, "/dev/block/sdb", 8}};
  const struct {
    const char* what;
    std::vector<std::function<int(const std::string&)>> before;
    uint32_t flags;
  } cases[] = {
      {"never loaded", {}, 0},
      {"first load refused",
       {[&](auto& n) {
         return LoadLinear(n, too_long).error == EINVAL ? 0 : 1;
       }},
       0},
      {"loaded, never resumed",
       {[&](auto& n) { return LoadLinear(n, one).error; }},
       kUevent | kInactive},
      {"live table",
       {[&](auto& n) { return LoadLinear(n, one).error; },
        [&](auto& n) { return Resume(n).error; }},
       kUevent},
      {"live and staged tables",
       {[&](auto& n) { return LoadLinear(n, one).error; },
        [&](auto& n) { return Resume(n).error; },
        [&](auto& n) { return LoadLinear(n, one).error; }},
       kUevent | kInactive},
      {"suspended",
       {[&](auto& n) { return LoadLinear(n, one).error; },
        [&](auto& n) { return Resume(n).error; },
        [&](auto& n) { return Suspend(n).error; }},
       kUevent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = NewName();
    ASSERT_EQ(Create(name, NewUuid()).error, 0);
    for (const auto& step : c.before) ASSERT_EQ(step(name), 0);
    Result r = Remove(name);
    ASSERT_EQ(r.error, 0) << strerror(r.error);
    EXPECT_EQ(r->flags, c.flags) << std::hex << r->flags;
    EXPECT_EQ(r->data_size, kBareSize);
    EXPECT_EQ(r->name, name);
    EXPECT_EQ(Status(name).error, ENXIO);
  }
}

TEST_F(DmContract, DevicesOutliveTheProcessThatMadeThem) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  const std::string records = LinearRecords({{16, "/dev/block/sdb", 8}});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No test macros here: the child only reports through its exit code.
    DmRequest create = Named(name);
    create.SetUuid(uuid);
    DmRequest load = Named(name);
    load.SetTable(records, 1);
    if (Run(DM_DEV_CREATE, std::move(create)).error) _exit(1);
    if (Run(DM_TABLE_LOAD, std::move(load)).error) _exit(2);
    if (Run(DM_DEV_SUSPEND, Named(name)).error) _exit(3);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  Adopt(name);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  Result r = Status(name);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r->flags, kActive);
  EXPECT_EQ(r->target_count, 1u);
  EXPECT_EQ(r->uuid, uuid);
  Result table = TableStatus(name, DM_STATUS_TABLE_FLAG);
  ASSERT_EQ(table.error, 0);
  std::vector<StatusRecord> records_back = ParseStatus(table.reply);
  ASSERT_EQ(records_back.size(), 1u);
  EXPECT_EQ(records_back[0].text, DeviceNumberOf("/dev/block/sdb") + " 8");
  Result removed = Remove(name);
  ASSERT_EQ(removed.error, 0);
  EXPECT_EQ(removed->flags, kUevent);
}

}  // namespace
}  // namespace contract
