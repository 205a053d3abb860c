// Table model: validity, ownership and the byte-exact encoding the kernel
// reads in DM_TABLE_LOAD.
#include "libdm/dm_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/dm-ioctl.h>
#include <string.h>

#include <memory>
#include <string>

#include "libdm/dm_target.h"
#include "test_tables.h"
#include "witness.h"

using android::dm::DmTable;
using android::dm::DmTarget;
using android::dm::DmTargetLinear;

namespace {

using quillmap_testing::TextTarget;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}

dm_target_spec SpecAt(const std::string& records, size_t offset) {
  dm_target_spec spec;
  memcpy(&spec, records.data() + offset, sizeof(spec));
  return spec;
}

}  // namespace

// The program's two regions (UFS and eMMC boot partitions), byte for byte:
// start, length, status, next, the type name and the padded text.
TEST(DmTargetLinear, EncodesTheRegionsByteForByte) {
  const struct {
    uint64_t length;
    const char* disk;
    uint64_t sector;
    std::string length_bytes, next_bytes, text;
  } cases[] = {
      {8184, "/dev/block/sda", 8, Bytes({0xF8, 0x1F, 0, 0, 0, 0, 0, 0}),
       Bytes({0x40, 0, 0, 0}), "/dev/block/sda 8" + std::string(8, '\0')},
      {8188, "/dev/block/mmcblk0boot0", 4,
       Bytes({0xFC, 0x1F, 0, 0, 0, 0, 0, 0}), Bytes({0x48, 0, 0, 0}),
       "/dev/block/mmcblk0boot0 4" + std::string(7, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disk);
    DmTargetLinear target(0, c.length, c.disk, c.sector);
    EXPECT_EQ(target.Serialize(),
              std::string(8, '\0') + c.length_bytes + std::string(4, '\0') +
                  c.next_bytes + "linear" + std::string(10, '\0') + c.text);
  }
}

// A record by its parameter length and type name: text + NUL padded to 8
// after the 40-byte header; the name cut to 15 bytes and NUL-terminated.
TEST(DmTarget, RecordPadsTextToEightAndCutsTheTypeName) {
  const struct {
    size_t text_length;
    uint32_t record_length;
    std::string name, stored;
  } cases[] = {{0, 48, "crypt", "crypt"},
               {1, 48, std::string(15, 'n'), std::string(15, 'n')},
               {7, 48, std::string(16, 'n'), std::string(15, 'n')},
               {8, 56, std::string(40, 'n'), std::string(15, 'n')},
               {15, 56, "t", "t"},
               {16, 64, "t", "t"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text_length);
    TextTarget target(3, 5, c.name, std::string(c.text_length, 'p'));
    const std::string record = target.Serialize();
    ASSERT_EQ(record.size(), c.record_length);
    const dm_target_spec spec = SpecAt(record, 0);
    EXPECT_EQ(spec.next, c.record_length);
    EXPECT_EQ(spec.sector_start, 3u);
    EXPECT_EQ(spec.length, 5u);
    EXPECT_EQ(spec.status, 0);
    EXPECT_EQ(std::string(spec.target_type, sizeof(spec.target_type)),
              c.stored + std::string(16 - c.stored.size(), '\0'));
    EXPECT_EQ(record.substr(40, c.text_length),
              std::string(c.text_length, 'p'));
    // Everything after the text is zero: the NUL and the padding.
    EXPECT_EQ(record.substr(40 + c.text_length),
              std::string(c.record_length - 40 - c.text_length, '\0'));
  }
}

// An empty table, or one whose first target does not start at sector 0, is
// invalid: validity and encoding each say why in an error line of
// dm_table, and the encoding is empty.
TEST(DmTable, InvalidTableSaysWhyAtErrorAndEncodesToNothing) {
  DmTable empty;
  DmTable late;
  ASSERT_TRUE(late.AddTarget(std::make_unique<DmTargetLinear>(1, 8, "/d", 0)));
  const struct {
    const DmTable* table;
    const char* why;  // a regular expression
  } cases[] = {
      {&empty, "Device-mapper table must have at least one target\\."},
      {&late, "Device-mapper table must start at logical sector 0\\."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    contract::StderrCapture capture;
    EXPECT_FALSE(c.table->valid());
    EXPECT_EQ(c.table->Serialize(), "");
    EXPECT_THAT(capture.Stop(),
                testing::MatchesRegex(
                    std::string("([^ ]+ E dm_table\\.cpp:[0-9]+\\] ") + c.why +
                    "\n){2}"));
  }
  EXPECT_EQ(empty.target_count(), 0u);
  EXPECT_EQ(empty.sector_count(), 0u);
  EXPECT_FALSE(empty.read_only());
}

TEST(DmTable, GapsAndOverlapsAreLeftToTheKernel) {
  DmTable table;
  ASSERT_TRUE(
      table.AddTarget(std::make_unique<DmTargetLinear>(0, 10, "/a", 0)));
  ASSERT_TRUE(
      table.AddTarget(std::make_unique<DmTargetLinear>(5, 20, "/b", 1)));
  ASSERT_TRUE(table.AddTarget(
      std::make_unique<DmTargetLinear>(100, 1, "/c", UINT64_MAX)));
  EXPECT_TRUE(table.valid());
  EXPECT_EQ(table.sector_count(), 31u);
  EXPECT_EQ(table.target_count(), 3u);
  const std::string records = table.Serialize();
  ASSERT_EQ(records.size(), 48 + 48 + 64u);
  EXPECT_EQ(SpecAt(records, 0).sector_start, 0u);
  EXPECT_EQ(SpecAt(records, 48).sector_start, 5u);
  EXPECT_EQ(SpecAt(records, 96).sector_start, 100u);
  // The sector in plain decimal.
  EXPECT_EQ(records.substr(40, 5), std::string("/a 0\0", 5));
  EXPECT_EQ(records.substr(48 + 40, 5), std::string("/b 1\0", 5));
  EXPECT_EQ(records.substr(96 + 40, 24),
            std::string("/c 18446744073709551615\0", 24));
  // Encoding leaves the table as it was.
  EXPECT_EQ(table.Serialize(), records);
}

// A target that is not Valid(), none at all, and one whose end would pass
// 2^64 - 1 sectors are refused: each stays with the caller, the table as it
// was. Exactly up to the limit still fits, and the table takes it.
TEST(DmTable, RefusedTargetStaysWithCaller) {
  DmTable table;
  ASSERT_TRUE(table.AddTarget(
      std::make_unique<DmTargetLinear>(0, UINT64_MAX - 5, "/a", 0)));
  std::unique_ptr<DmTarget> refused[] = {
      std::make_unique<TextTarget>(UINT64_MAX - 5, 1, "t", "",
                                   /*valid=*/false),
      nullptr, std::make_unique<DmTargetLinear>(UINT64_MAX - 5, 6, "/b", 0)};
  for (auto& target : refused) {
    const bool had = target != nullptr;
    EXPECT_FALSE(table.AddTarget(std::move(target)));
    EXPECT_EQ(target != nullptr, had);
  }
  EXPECT_EQ(table.target_count(), 1u);
  EXPECT_EQ(table.sector_count(), UINT64_MAX - 5);
  std::unique_ptr<DmTarget> fit =
      std::make_unique<DmTargetLinear>(UINT64_MAX - 5, 5, "/b", 0);
  EXPECT_TRUE(table.AddTarget(std::move(fit)));
  EXPECT_EQ(fit, nullptr);
  EXPECT_EQ(table.sector_count(), UINT64_MAX);
}
