// Table queries: reading tables back, buffer growth, the walk over
// malformed replies, and redaction of crypt keys.
#include <string.h>

#include "dm_request.h"
#include "dm_test_util.h"
#include "table_status.h"

namespace android {
namespace dm {
namespace testing_util {
namespace {

using TargetInfo = IDeviceMapper::TargetInfo;

using quillmap_testing::TextTarget;

dm_target_spec WithType(const char* type, size_t type_len = 0) {
  dm_target_spec record = {};
  memcpy(record.target_type, type, type_len ? type_len : strlen(type));
  return record;
}

TEST(GetTargetType, EndsAtNulOrAfterSixteenBytes) {
  EXPECT_EQ(DeviceMapper::GetTargetType(WithType("linear")), "linear");
  EXPECT_EQ(DeviceMapper::GetTargetType(WithType("0123456789abcdef", 16)),
            "0123456789abcdef");
  EXPECT_EQ(DeviceMapper::GetTargetType(WithType("crypt\0junk", 10)), "crypt");
  EXPECT_EQ(DeviceMapper::GetTargetType(WithType("")), "");
}

TEST(RedactTableInfo, ReplacesOnlyTheSecondFieldOfCryptLines) {
  const struct {
    const char* type;
    std::string in, out;
  } cases[] = {
      {"crypt", "aes-xts-plain64 00112233 0 254:0 0",
       "aes-xts-plain64 redacted 0 254:0 0"},
      {"crypt", "cipher key", "cipher redacted"},
      {"crypt", "cipher ", "cipher redacted"},
      {"crypt", "nospace", "nospace"},
      {"crypt", "", ""},
      {"crypt", "a  b c", "a redacted redacted c"},  // doubled blank
      {"crypt", "aes   KEY 0", "aes redacted  redacted 0"},
      {"crypt", "aes KEY  0", "aes redacted  0"},
      {"crypt", " aes key 0", " redacted redacted 0"},  // leading blank
      {"Crypt", "aes key 0", "aes key 0"},
      {"crypt2", "aes key 0", "aes key 0"},
      {"linear", "254:0 8", "254:0 8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string data = c.in;
    RedactTableInfo(WithType(c.type), &data);
    EXPECT_EQ(data, c.out);
  }
}

using TableQueryTest = DmTest;

// A DM_TABLE_STATUS reply that says the buffer was too small.
const std::string kFull =
    "DM_TABLE_STATUS.flags=" + std::to_string(DM_BUFFER_FULL_FLAG);

// Table lines and status lines read back, appended to what the list holds,
// with a buffer that grows until the answer fits.
TEST_F(TableQueryTest, ReadsBackAppendingAndGrowsTheBufferToFit) {
  // 200 table lines of 56 bytes need more than 8192 bytes, less than 16384.
  DmTable table;
  for (uint64_t i = 0; i < 200; ++i) {
    table.AddTarget(
        std::make_unique<DmTargetLinear>(i, 1, "/dev/block/sda", 1000 + i));
  }
  ASSERT_TRUE(dm_->CreateDevice("big", "u"));
  ASSERT_TRUE(dm_->LoadTableAndActivate("big", table));
  const std::string sda = fakedm::DeviceNumberOf("/dev/block/sda");
  const size_t before = fakedm::Requests().size();
  std::vector<TargetInfo> info(1);  // a former entry stays in front
  auto lines = Logged([&] { ASSERT_TRUE(dm_->GetTableInfo("big", &info)); });
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_EQ(fakedm::Requests().size() - before, 3u)
      << "4096, 8192, then 16384 bytes";
  ASSERT_EQ(info.size(), 201u);
  for (uint64_t i : {0, 199}) {
    EXPECT_EQ(info[1 + i].spec.sector_start, i);
    EXPECT_EQ(info[1 + i].spec.length, 1u);
    EXPECT_EQ(DeviceMapper::GetTargetType(info[1 + i].spec), "linear");
    EXPECT_EQ(info[1 + i].data, sda + " " + std::to_string(1000 + i));
  }

  // A kernel that keeps answering "full" a few times more.
  Inject({kFull + "@3", kFull + "@4"});
  std::vector<TargetInfo> status;
  ASSERT_TRUE(dm_->GetTableStatus("big", &status));
  ASSERT_TRUE(dm_->GetTableStatus("big", &status));
  ASSERT_EQ(status.size(), 400u);
  EXPECT_EQ(status[0].data, "");
  EXPECT_EQ(status[399].spec.sector_start, 199u);

  // A device without a live table has no targets.
  ASSERT_TRUE(dm_->CreateDevice("empty", "e"));
  std::vector<TargetInfo> none;
  EXPECT_TRUE(dm_->GetTableInfo("empty", &none));
  EXPECT_THAT(none, IsEmpty());
}

TEST_F(TableQueryTest, GrowthStopsBeforeTheBufferOutgrowsDataSize) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "needs a 2 GiB buffer, too much under the sanitizer";
#endif
  // A kernel that never stops answering "full": 4096 bytes doubled up to
  // 2 GiB, the largest a 32-bit data_size can describe, then a clear end.
  ASSERT_TRUE(dm_->CreateDevice("a", "u"));
  Inject({kFull});
  std::vector<TargetInfo> info;
  const size_t before = fakedm::Requests().size();
  auto lines = Logged([&] { EXPECT_FALSE(dm_->GetTableInfo("a", &info)); });
  EXPECT_THAT(lines,
              ElementsAre("E DM_TABLE_STATUS failed for a: the reply needs "
                          "more than 2147483648 bytes, the largest doubling a "
                          "request can describe"));
  EXPECT_EQ(fakedm::Requests().size() - before, 20u);
  EXPECT_THAT(info, IsEmpty());
}

using contract::ReplyBytes;

// The one encoder's record head with |next| as given (0 included), then
// |text| exactly as given (no NUL, no padding): a reply may hold anything.
std::string Record(uint32_t next, const std::string& type,
                   const std::string& text, uint64_t start = 0) {
  std::string head = contract::Record(start, 0, type, "");
  memcpy(&head[offsetof(dm_target_spec, next)], &next, sizeof(next));
  return head.substr(0, sizeof(dm_target_spec)) + text;
}

// The walk over a table-query reply (what GetTableInfo hands the kernel's
// answer to), on replies no kernel of ours gives.
TEST(TableStatusWalk, StaysInsideTheReplyWhateverItHolds) {
  const std::string two = Record(48, "linear", std::string("1:2 8\0\0\0", 8)) +
                          Record(96, "crypt", std::string("c k 0\0\0\0", 8), 5);
  const struct {
    const char* what;
    std::string reply;
    std::vector<std::string> texts;
  } cases[] = {
      {"no targets", ReplyBytes(312 + 96, 312, 0, two), {}},
      {"two records",
       ReplyBytes(312 + 96, 312, 2, two),
       {"1:2 8", "c redacted 0"}},
      {"count below records", ReplyBytes(312 + 96, 312, 1, two), {"1:2 8"}},
      {"count above records",
       ReplyBytes(312 + 96, 312, 9, two),
       {"1:2 8", "c redacted 0"}},
      {"second record past data end",
       ReplyBytes(312 + 60, 312, 2, two),
       {"1:2 8"}},
      {"data end inside first text",
       ReplyBytes(312 + 43, 312, 2, two),
       {"1:2"}},
      {"bare reply (data_size 305)", ReplyBytes(305, 312, 1, two), {}},
      {"data start past the buffer",
       ReplyBytes(312 + 96, 0xFFFFFFF0u, 5, two),
       {}},
      {"data start inside the header", ReplyBytes(4096, 0, 1, ""), {""}},
      {"next points back",
       ReplyBytes(4096, 312, 0xFFFFFFFFu,
                  Record(0, "linear", std::string("t\0", 2))),
       {""}},
      {"next past the buffer",
       ReplyBytes(4096, 312, 3, Record(0xFFFFFF00u, "linear", "abc")),
       {"abc"}},
      {"text without NUL up to next",
       ReplyBytes(
           312 + 48 + 48, 312, 2,
           Record(48, "x", "12345678") + Record(96, "y", std::string(8, '\0'))),
       {"12345678", ""}},
      {"bytes after the NUL",
       ReplyBytes(312 + 48, 312, 1,
                  Record(48, "x", std::string("ab\0cdefg", 8))),
       {"ab"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TargetInfo> info;
    internal::WalkTableStatusReply(c.reply, DM_STATUS_TABLE_FLAG, &info);
    std::vector<std::string> texts;
    for (const auto& entry : info) texts.push_back(entry.data);
    EXPECT_EQ(texts, c.texts);
  }
}

TEST_F(TableQueryTest, CryptKeysNeverLeaveThroughQueriesOrLogs) {
  const std::string key = "0123456789abcdef0123456789abcdef";
  // The key's place in the kernel's line is after the cipher, inside the
  // line or at its end (doubled blanks around it: RedactTableInfo's rows).
  const std::string params[] = {
      "aes-cbc-essiv:sha256 " + key + " 0 /dev/block/sda 8",
      "aes-xts-plain64  " + key,
  };
  const contract::ScopedEnv tags("ANDROID_LOG_TAGS", "*:v");
  for (const std::string& text : params) {
    SCOPED_TRACE(text);
    fakedm::Reset();
    DmTable table;
    table.AddTarget(std::make_unique<TextTarget>(0, 100, "crypt", text));
    std::vector<TargetInfo> info, status;
    contract::StderrCapture capture;
    ASSERT_TRUE(dm_->CreateDevice("secret", "u"));
    ASSERT_TRUE(dm_->LoadTableAndActivate("secret", table));
    ASSERT_TRUE(dm_->GetTableInfo("secret", &info));
    ASSERT_TRUE(dm_->GetTableStatus("secret", &status));
    std::string device, node;
    EXPECT_TRUE(dm_->GetDeviceString("secret", &device));
    EXPECT_TRUE(dm_->GetDmDevicePathByName("secret", &node));
    EXPECT_EQ(dm_->GetState("secret"), DeviceState::Active);
    EXPECT_FALSE(dm_->GetTableInfo("no-such-device", &info));
    EXPECT_TRUE(dm_->DeleteDeviceIfExists("secret"));
    const std::string log = capture.Stop();
    ASSERT_EQ(info.size(), 1u);
    EXPECT_NE(info[0].data.find("redacted"), std::string::npos);
    EXPECT_EQ(info[0].data.find(key), std::string::npos);
    EXPECT_EQ(log.find(key), std::string::npos);
    for (const auto& entry : status)
      EXPECT_EQ(entry.data.find(key), std::string::npos);
  }
}

}  // namespace
}  // namespace testing_util
}  // namespace dm
}  // namespace android
