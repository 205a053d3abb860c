// Contract: what shows outside the control node — the device manager's
// /dev/block/dm-N and by-uuid link, the bytes a linear table maps, and the
// open count that keeps a device from being removed.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "contract_env.h"
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

TEST_F(DmContract, DeviceManagerMakesNodeAndLinkAtFirstLoad) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  Result created = Create(name, uuid);
  ASSERT_EQ(created.error, 0);
  const std::string bare_uuid = NewUuid();
  Result bare = Create(NewName(), bare_uuid);
  ASSERT_EQ(bare.error, 0);
  const std::string node = NodePath(minor(created->dev));
  ASSERT_EQ(LoadLinear(name, {{16, "/dev/block/sdb", 8}}).error, 0);
  // No resume yet: the block device appears with the first table.
  ASSERT_TRUE(WaitFor(node, true)) << node;
  ASSERT_TRUE(WaitFor(LinkPath(uuid), true)) << LinkPath(uuid);
  EXPECT_EQ(RealPath(LinkPath(uuid)), RealPath(node));
  // The device manager is past anything the later creation could have
  // caused, and the device without a table has neither.
  EXPECT_NE(access(NodePath(minor(bare->dev)).c_str(), F_OK), 0);
  EXPECT_NE(access(LinkPath(bare_uuid).c_str(), F_OK), 0);

  ASSERT_EQ(Resume(name).error, 0);
  ASSERT_EQ(Remove(name).error, 0);
  EXPECT_TRUE(WaitFor(LinkPath(uuid), false)) << LinkPath(uuid);
  EXPECT_TRUE(WaitFor(node, false)) << node;
}

struct Mapping {
  const char* name;
  std::vector<Linear> targets;
};

class MappedBytes : public DmContract,
                    public testing::WithParamInterface<Mapping> {};

// Every disk holds a pattern that differs per sector and per disk (the
// guests' and the fake sandbox's): a node that maps the wrong sectors reads
// other bytes. The real kernel's rows only: the fake's nodes hold no bytes,
// and nothing of the library reads them.
TEST_P(MappedBytes, NodeReadsTheBackingBytes) {
  std::vector<Linear> targets = GetParam().targets;
  std::string expected;
  uint64_t sectors = 0;
  for (Linear& t : targets) {
    // A length of 0 here means "up to the disk's end".
    if (t.length == 0) t.length = DiskSectors(t.disk) - t.sector;
    expected +=
        ReadAt(t.disk, static_cast<off_t>(t.sector * 512), t.length * 512);
    sectors += t.length;
  }
  ASSERT_EQ(expected.size(), sectors * 512);
  const int made = MakeLinear(NewName(), NewUuid(), targets);
  ASSERT_GE(made, 0);
  const std::string node = NodePath(made);
  ASSERT_TRUE(WaitFor(node, true));
  unique_fd fd(open(node.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_GE(fd.get(), 0) << strerror(errno);
  EXPECT_EQ(lseek(fd.get(), 0, SEEK_END), static_cast<off_t>(sectors * 512));
  const std::string got = ReadAt(node, 0, sectors * 512);
  ASSERT_EQ(got.size(), expected.size());
  // Compare by sector so that a failure says where.
  for (size_t at = 0; at < got.size(); at += 512) {
    ASSERT_EQ(got.compare(at, 512, expected, at, 512), 0)
        << "sector " << at / 512;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Contract, MappedBytes,
    testing::ValuesIn(RowsFor<Mapping>(
        {{"FromSector8", {{0, "/dev/block/sdb", 8}}},
         {"FromSector4", {{0, "/dev/block/mmcblk0boot0", 4}}},
         {"TwoDisks",
          {{64, "/dev/block/sdb", 8}, {0, "/dev/block/mmcblk0boot1", 4}}}},
        [](const Mapping&) { return true; })),
    [](const testing::TestParamInfo<Mapping>& info) {
      return info.param.name;
    });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(MappedBytes);

TEST_F(DmContract, OpenDeviceCannotBeRemoved) {
  const std::string name = NewName();
  const int made = MakeLinear(name, NewUuid(), {{16, "/dev/block/sdb", 8}});
  ASSERT_GE(made, 0);
  ASSERT_TRUE(WaitFor(NodePath(made), true));
  {
    unique_fd fd(open(NodePath(made).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(fd.get(), 0) << strerror(errno);
    Result status = Status(name);
    ASSERT_EQ(status.error, 0);
    EXPECT_EQ(status->open_count, 1);
    EXPECT_EQ(Remove(name).error, EBUSY);
    EXPECT_EQ(Status(name).error, 0) << "still there";
  }
  Result status = Status(name);
  EXPECT_EQ(status->open_count, 0);
  Result removed = Remove(name);
  ASSERT_EQ(removed.error, 0);
  EXPECT_EQ(removed->flags, static_cast<uint32_t>(DM_UEVENT_GENERATED_FLAG));
}

}  // namespace
}  // namespace contract
