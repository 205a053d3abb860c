// Contract: what shows outside the control node — the device manager's
// /dev/block/dm-N and by-uuid link from the first load on, the bytes a linear
// table maps, and the open count that keeps a device from being removed.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "contract_fixture.h"
#include "witness.h"

namespace contract {
namespace {

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  return realpath(InspectPath(path).c_str(), buf)
             ? buf
             : "(" + path + ": " + strerror(errno) + ")";
}

TEST_F(DmContract, NodeAndLinkMapTheBackingBytesAndStayWhileOpen) {
  // Made before every load below: once the device manager has acted on a
  // later load, it is past anything this creation could have caused.
  const std::string bare_uuid = NewUuid();
  Result bare = Create(NewName(), bare_uuid);
  ASSERT_EQ(bare.error, 0);
  // A length of 0 means "up to the disk's end".
  const struct {
    const char* what;
    std::vector<Linear> targets;
  } mappings[] = {
      {"from sector 8", {{0, "/dev/block/sdb", 8}}},
      {"from sector 4", {{0, "/dev/block/mmcblk0boot0", 4}}},
      {"two disks",
       {{64, "/dev/block/sdb", 8}, {0, "/dev/block/mmcblk0boot1", 4}}},
  };
  for (const auto& m : mappings) {
    SCOPED_TRACE(m.what);
    std::vector<Linear> targets = m.targets;
    uint64_t sectors = 0;
    for (Linear& t : targets) {
      if (t.length == 0) t.length = DiskSectors(t.disk) - t.sector;
      sectors += t.length;
    }
    const std::string name = NewName();
    const std::string uuid = NewUuid();
    Result created = Create(name, uuid);
    ASSERT_EQ(created.error, 0);
    const std::string node = NodePath(minor(created->dev));
    ASSERT_EQ(LoadLinear(name, targets).error, 0);
    // No resume yet: the block device appears with the first table.
    ASSERT_TRUE(WaitFor(node, true)) << node;
    ASSERT_TRUE(WaitFor(LinkPath(uuid), true)) << LinkPath(uuid);
    EXPECT_EQ(RealPath(LinkPath(uuid)), RealPath(node));
    EXPECT_NE(access(NodePath(minor(bare->dev)).c_str(), F_OK), 0);
    EXPECT_NE(access(LinkPath(bare_uuid).c_str(), F_OK), 0);
    ASSERT_EQ(Resume(name).error, 0);

    // Every disk holds a pattern that differs per sector and per disk (the
    // guests' and the fake sandbox's): a node that maps the wrong sectors
    // reads other bytes. Only the real kernel's nodes hold bytes; nothing of
    // the library reads them.
    if (IsRealKernel()) {
      std::string expected;
      for (const Linear& t : targets) {
        expected +=
            ReadAt(t.disk, static_cast<off_t>(t.sector * 512), t.length * 512);
      }
      ASSERT_EQ(expected.size(), sectors * 512);
      const std::string got = ReadAt(node, 0, sectors * 512);
      ASSERT_EQ(got.size(), expected.size());
      // Compare by sector so that a failure says where.
      for (size_t at = 0; at < got.size(); at += 512) {
        ASSERT_EQ(got.compare(at, 512, expected, at, 512), 0)
            << "sector " << at / 512;
      }
    }
    {
      unique_fd fd(open(node.c_str(), O_RDONLY | O_CLOEXEC));
      ASSERT_GE(fd.get(), 0) << strerror(errno);
      if (IsRealKernel()) {
        EXPECT_EQ(lseek(fd.get(), 0, SEEK_END),
                  static_cast<off_t>(sectors * 512));
      }
      Result status = Status(name);
      ASSERT_EQ(status.error, 0);
      EXPECT_EQ(status->open_count, 1);
      EXPECT_EQ(Remove(name).error, EBUSY);
      EXPECT_EQ(Status(name).error, 0) << "still there";
    }
    EXPECT_EQ(Status(name)->open_count, 0);
    Result removed = Remove(name);
    ASSERT_EQ(removed.error, 0);
    EXPECT_EQ(removed->flags, static_cast<uint32_t>(DM_UEVENT_GENERATED_FLAG));
    EXPECT_TRUE(WaitFor(LinkPath(uuid), false)) << LinkPath(uuid);
    EXPECT_TRUE(WaitFor(node, false)) << node;
  }
}

}  // namespace
}  // namespace contract
