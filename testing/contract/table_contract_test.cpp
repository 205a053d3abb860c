// Contract: tables — what DM_TABLE_LOAD accepts and refuses, and the layout
// of DM_TABLE_STATUS replies (records, `next`, data_size, BUFFER_FULL).
#include <errno.h>
#include <string.h>

#include "contract_fixture.h"

namespace contract {
namespace {

constexpr uint32_t kSpec = sizeof(struct dm_target_spec);

TEST_F(DmContract, StatusRecordsFollowTheHeader) {
  const std::vector<Linear> two = {{100, "/dev/block/sdb", 8},
                                   {60, "/dev/block/mmcblk0boot0", 4}};
  const struct {
    const char* what;
    size_t targets;  // how many of |two|; none: no table
    bool table_lines;
    uint32_t request_data_start;
  } cases[] = {
      {"one target, table line", 1, true, kStructSize},
      {"one target, status line", 1, false, kStructSize},
      {"two targets, table lines", 2, true, kStructSize},
      {"two targets, status lines", 2, false, kStructSize},
      {"the request's data_start is ignored", 2, true, 0},
      {"without a table the request's data_start is kept", 0, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<Linear> targets(two.begin(), two.begin() + c.targets);
    const std::string name = NewName();
    if (targets.empty()) {
      ASSERT_EQ(Create(name).error, 0);
    } else {
      ASSERT_GE(MakeLinear(name, NewUuid(), targets), 0);
    }
    DmRequest req(16384);
    req.SetName(name);
    const uint32_t flags = c.table_lines ? DM_STATUS_TABLE_FLAG : 0;
    req.header()->flags = flags;
    req.header()->data_start = c.request_data_start;
    Result r = Run(DM_TABLE_STATUS, std::move(req));
    ASSERT_EQ(r.error, 0) << strerror(r.error);
    EXPECT_EQ(r->flags,
              targets.empty() ? flags : flags | DM_ACTIVE_PRESENT_FLAG);
    EXPECT_EQ(r->data_start,
              targets.empty() ? c.request_data_start : kStructSize)
        << "a table's records always follow the header";
    EXPECT_EQ(r->target_count, targets.size());

    std::vector<StatusRecord> records = ParseStatus(r.reply);
    ASSERT_EQ(records.size(), targets.size());
    uint64_t start = 0;
    uint64_t offset = 0;
    uint64_t end = kBareSize;
    for (size_t i = 0; i < targets.size(); ++i) {
      SCOPED_TRACE("record " + std::to_string(i));
      const std::string text = c.table_lines
                                   ? DeviceNumberOf(targets[i].disk) + " " +
                                         std::to_string(targets[i].sector)
                                   : "";
      EXPECT_EQ(records[i].offset, offset);
      EXPECT_EQ(records[i].spec.sector_start, start);
      EXPECT_EQ(records[i].spec.length, targets[i].length);
      EXPECT_EQ(records[i].spec.status, 0);
      EXPECT_STREQ(records[i].spec.target_type, "linear");
      EXPECT_EQ(records[i].text, text);
      end = kStructSize + offset + kSpec + text.size() + 1;
      offset += PaddedRecordSize(text.size());
      EXPECT_EQ(records[i].spec.next, offset)
          << "`next` counts from data_start";
      start += targets[i].length;
    }
    EXPECT_EQ(r->data_size, end) << "data_size ends at the last text's NUL";
  }
}

TEST_F(DmContract, StatusBufferFull) {
  const std::string name = NewName();
  ASSERT_GE(MakeLinear(name, NewUuid(),
                       {{100, "/dev/block/sdb", 8},
                        {60, "/dev/block/mmcblk0boot0", 4}}),
            0);
  const std::string text0 = DeviceNumberOf("/dev/block/sdb") + " 8";
  const std::string text1 = DeviceNumberOf("/dev/block/mmcblk0boot0") + " 4";
  const size_t first = PaddedRecordSize(text0.size());
  const size_t both = first + PaddedRecordSize(text1.size());
  const uint32_t first_end = kStructSize + kSpec + text0.size() + 1;
  const uint32_t second_end = kStructSize + first + kSpec + text1.size() + 1;
  const struct {
    const char* what;
    size_t size;
    bool full;
    uint32_t data_size;
    uint32_t data_start;  // the header's end, or the buffer's if shorter
    size_t records;
  } cases[] = {
      {"bare header", kBareSize, true, kBareSize, kBareSize, 0},
      {"header only", kStructSize, true, kBareSize, kStructSize, 0},
      {"no room for a text", kStructSize + kSpec, true, kBareSize, kStructSize,
       0},
      {"first text ends at the last byte", first_end, true, kBareSize,
       kStructSize, 0},
      {"first text fits, its padding does not", first_end + 1, true, first_end,
       kStructSize, 1},
      {"no room for the second record", kStructSize + first + kSpec, true,
       first_end, kStructSize, 1},
      {"second text ends at the last byte", second_end, true, first_end,
       kStructSize, 1},
      {"second text fits, its padding does not", second_end + 1, true,
       second_end, kStructSize, 2},
      {"both records fit", kStructSize + both, false, second_end, kStructSize,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Result r = TableStatus(name, DM_STATUS_TABLE_FLAG, c.size);
    ASSERT_EQ(r.error, 0) << "a full buffer is no error";
    EXPECT_EQ((r->flags & DM_BUFFER_FULL_FLAG) != 0, c.full);
    EXPECT_EQ(r->target_count, 2u);
    // What a full reply holds besides the flag: the library never looks.
    if (c.full && !IsRealKernel()) continue;
    EXPECT_EQ(r->data_size, c.data_size);
    EXPECT_EQ(r->data_start, c.data_start);
    EXPECT_EQ(ParseStatus(r.reply).size(), c.records);
  }
}

TEST_F(DmContract, TableLoadChecks) {
  const std::string sdb = "/dev/block/sdb";
  const uint64_t sectors = DiskSectors(sdb);
  const std::string at8 = sdb + " 8";
  // A path that names nothing: 6.1 (interface 4.47) answers ENODEV, 6.12
  // (4.48) hands on the path lookup's ENOENT.
  const int no_such_path = KernelVersion().minor >= 48 ? ENOENT : ENODEV;
  const struct {
    const char* what;
    std::string records;
    uint32_t count;
    int error;
    int64_t data_size_change = 0;  // added to the request's data_size
    int64_t data_start = -1;  // replaces the request's data_start when >= 0
  } cases[] = {
      {"well formed", Record(0, 16, "linear", at8), 1, 0},
      {"by device number", Record(0, 16, "linear", DeviceNumberOf(sdb) + " 8"),
       1, 0},
      {"up to the disk's end", Record(0, sectors - 8, "linear", at8), 1, 0},
      {"blanks around arguments", Record(0, 16, "linear", "  " + sdb + "\t 8 "),
       1, 0},
      {"two adjoining targets",
       Record(0, 8, "linear", at8) + Record(8, 8, "linear", "/dev/block/sda 0"),
       2, 0},
      // Records of different lengths: a third record is found only when
      // `next` counts from the record before it.
      {"three targets",
       Record(0, 8, "linear", at8) +
           Record(8, 8, "linear", DeviceNumberOf(sdb) + " 0") +
           Record(16, 8, "linear", "/dev/block/mmcblk0boot1 100"),
       3, 0},
      {"past the disk's end", Record(0, sectors - 8 + 1, "linear", at8), 1,
       EINVAL},
      {"starting past the disk's end",
       Record(0, 1, "linear", sdb + " " + std::to_string(sectors)), 1, EINVAL},
      {"zero length", Record(0, 0, "linear", at8), 1, EINVAL},
      {"first target not at sector 0", Record(8, 8, "linear", at8), 1, EINVAL},
      {"gap", Record(0, 8, "linear", at8) + Record(16, 8, "linear", at8), 2,
       EINVAL},
      {"overlap", Record(0, 16, "linear", at8) + Record(8, 8, "linear", at8), 2,
       EINVAL},
      {"unknown target type", Record(0, 8, "qmct-none", ""), 1, EINVAL},
      {"one argument", Record(0, 8, "linear", sdb), 1, EINVAL},
      {"three arguments", Record(0, 8, "linear", at8 + " 1"), 1, EINVAL},
      {"sector with trailing junk", Record(0, 8, "linear", sdb + " 8x"), 1,
       EINVAL},
      {"negative sector", Record(0, 8, "linear", sdb + " -1"), 1, EINVAL},
      {"missing device path", Record(0, 8, "linear", "/dev/block/qmct-none 0"),
       1, no_such_path},
      {"unknown device number", Record(0, 8, "linear", "60:0 0"), 1, ENXIO},
      {"no targets", Record(0, 8, "linear", at8), 0, EINVAL},
      {"fewer records than targets", Record(0, 8, "linear", at8), 2, EINVAL},
      {"next pointing into its own record",
       Record(0, 8, "linear", at8, 8) + Record(8, 8, "linear", at8), 2, EINVAL},
      {"text without its NUL", Record(0, 8, "linear", at8), 1, EINVAL,
       static_cast<int64_t>(kSpec + at8.size()) -
           static_cast<int64_t>(PaddedRecordSize(at8.size()))},
      {"data_start inside the header", Record(0, 8, "linear", at8), 1, EINVAL,
       0, 16},
      {"data_start past data_size", Record(0, 8, "linear", at8), 1, EINVAL, 0,
       4096},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = NewName();
    ASSERT_EQ(Create(name, NewUuid()).error, 0);
    DmRequest req = Named(name);
    req.SetTable(c.records, c.count);
    req.header()->data_size =
        static_cast<uint32_t>(req.header()->data_size + c.data_size_change);
    if (c.data_start >= 0)
      req.header()->data_start = static_cast<uint32_t>(c.data_start);
    Result r = Run(DM_TABLE_LOAD, std::move(req));
    EXPECT_EQ(r.error, c.error) << strerror(r.error);
    Result status = Status(name, DM_QUERY_INACTIVE_TABLE_FLAG);
    ASSERT_EQ(status.error, 0) << "the device stays, with or without its table";
    EXPECT_EQ(status->flags & DM_INACTIVE_PRESENT_FLAG,
              c.error ? 0u : DM_INACTIVE_PRESENT_FLAG);
    // The library never asks about staged tables.
    if (IsRealKernel()) {
      EXPECT_EQ(status->target_count, c.error ? 0u : c.count);
    }
  }
}

TEST_F(DmContract, RefusedLoadKeepsEarlierTables) {
  const std::string bad = Record(0, 0, "linear", "/dev/block/sdb 8");
  const std::string live = NewName();
  ASSERT_GE(MakeLinear(live, NewUuid(), {{16, "/dev/block/sdb", 8}}), 0);
  EXPECT_EQ(Load(live, bad, 1).error, EINVAL);
  Result status = Status(live);
  EXPECT_EQ(status->flags, static_cast<uint32_t>(DM_ACTIVE_PRESENT_FLAG));
  const std::vector<StatusRecord> table = Table(live, 0);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].spec.length, 16u);

  const std::string staged = NewName();
  ASSERT_EQ(Create(staged).error, 0);
  ASSERT_EQ(LoadLinear(staged, {{24, "/dev/block/sdb", 8}}).error, 0);
  EXPECT_EQ(Load(staged, bad, 1).error, EINVAL);
  EXPECT_EQ(Status(staged)->flags & DM_INACTIVE_PRESENT_FLAG,
            static_cast<uint32_t>(DM_INACTIVE_PRESENT_FLAG));
  // The library never asks about staged tables.
  if (!IsRealKernel()) return;
  Result inactive = TableStatus(staged, DM_QUERY_INACTIVE_TABLE_FLAG);
  EXPECT_EQ(inactive->flags & DM_INACTIVE_PRESENT_FLAG,
            static_cast<uint32_t>(DM_INACTIVE_PRESENT_FLAG));
  ASSERT_EQ(ParseStatus(inactive.reply).size(), 1u);
  EXPECT_EQ(ParseStatus(inactive.reply)[0].spec.length, 24u);
}

TEST_F(DmContract, CryptTableLineKeepsItsKey) {
  // The library redacts the second field of such a line: the kernel must hand
  // the key back there, in the case it was given, for both ciphers Android
  // uses (a 256-bit key in hex; for xts a pair of 256-bit keys).
  const struct {
    const char* cipher;
    std::string key;
  } cases[] = {
      {"aes-cbc-essiv:sha256", std::string(64, 'a')},
      {"aes-xts-plain64", std::string(64, 'b') + std::string(64, 'c')}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cipher);
    const std::string params = std::string(c.cipher) + " " + c.key + " 0 " +
                               DeviceNumberOf("/dev/block/sdb") + " 8";
    const std::string name = NewName();
    ASSERT_EQ(Create(name).error, 0);
    Result loaded = Load(name, Record(0, 16, "crypt", params), 1);
    if (IsRealKernel() && loaded.error != 0) {
      GTEST_SKIP() << "this kernel has no usable crypt target: "
                   << strerror(loaded.error);
    }
    ASSERT_EQ(loaded.error, 0) << strerror(loaded.error);
    ASSERT_EQ(Resume(name).error, 0);
    const std::vector<StatusRecord> table = Table(name, DM_STATUS_TABLE_FLAG);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_STREQ(table[0].spec.target_type, "crypt");
    EXPECT_EQ(table[0].text, params);
    const std::vector<StatusRecord> status = Table(name, 0);
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].text.find(c.key), std::string::npos) << status[0].text;
  }
}

}  // namespace
}  // namespace contract
