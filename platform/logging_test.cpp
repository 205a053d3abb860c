// Stream logging and the printf-style log: errno is never disturbed, lines
// below the filter are not even built, PLOG and CHECK texts.
#include <android-base/logging.h>
#include <android/log.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <string_view>

#include "witness.h"

namespace {

// A piece of a line's text that counts how often it was actually built.
const char* BuildCounter(int* count) {
  ++*count;
  return "built";
}

// Each test starts without a filter and leaves the environment as it was.
class LoggingTest : public testing::Test {
  contract::ScopedEnv tags_{"ANDROID_LOG_TAGS", nullptr};
};

// The line texts must read as they would through a std::ostream.
TEST(TextStream, FormatsEveryPieceAsAnOstreamWould) {
  android::base::TextStream light;
  std::ostringstream standard;
  const auto both = [&](const auto&... pieces) {
    ((light << pieces << '|'), ...);
    ((standard << pieces << '|'), ...);
  };
  both("text", std::string("string"), std::string_view("view"), 'c',
       static_cast<signed char>('s'), static_cast<unsigned char>('u'), true,
       false, static_cast<short>(-7), static_cast<unsigned short>(65535), 0,
       INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX,
       sizeof(int), android::base::ERROR);
  EXPECT_EQ(light.str(), standard.str());
}

// And no kind of line, written or filtered out, disturbs errno.
TEST_F(LoggingTest, FilterDecidesWhichLinesAreBuiltAndWritten) {
  const struct {
    const char* tags;
    bool info, warning, error;
  } cases[] = {
      {nullptr, true, true, true},  // default: info and above
      {"", true, true, true},
      {"*:v", true, true, true},
      {"*:w", false, true, true},
      {"*:e", false, false, true},
      {"*:s", false, false, false},
      {"*:e platform_test:i", true, true, true},  // the program's tag wins
      {"other:v *:e", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tags ? c.tags : "(unset)");
    if (c.tags) {
      setenv("ANDROID_LOG_TAGS", c.tags, 1);
    } else {
      unsetenv("ANDROID_LOG_TAGS");
    }
    int built = 0;
    contract::StderrCapture capture;
    errno = EBUSY;
    LOG(INFO) << "i-line " << BuildCounter(&built);
    LOG(WARNING) << "w-line " << BuildCounter(&built);
    PLOG(ERROR) << "e-line " << BuildCounter(&built);
    __android_log_print(ANDROID_LOG_ERROR, "quillmap", "printf %s", "line");
    EXPECT_EQ(errno, EBUSY);
    const std::string log = capture.Stop();
    EXPECT_EQ(log.find("i-line") != std::string::npos, c.info) << log;
    EXPECT_EQ(log.find("w-line") != std::string::npos, c.warning) << log;
    EXPECT_EQ(log.find("e-line") != std::string::npos, c.error) << log;
    EXPECT_EQ(built, int(c.info) + int(c.warning) + int(c.error));
    EXPECT_TRUE(android::base::ShouldLog(android::base::FATAL, nullptr));
  }
}

TEST_F(LoggingTest, PrintfLinesCarryTagSeverityAndText) {
  contract::StderrCapture capture;
  __android_log_print(ANDROID_LOG_ERROR, "quillmap", "Device %s not found.",
                      "/dev/block/sda");
  __android_log_print(ANDROID_LOG_INFO, "quillmap",
                      "Created DM device %s at %s.", "a", "/dev/block/dm-0");
  EXPECT_EQ(capture.Stop(),
            "quillmap E Device /dev/block/sda not found.\n"
            "quillmap I Created DM device a at /dev/block/dm-0.\n");

  setenv("ANDROID_LOG_TAGS", "quillmap:e", 1);
  contract::StderrCapture filtered;
  EXPECT_EQ(__android_log_print(ANDROID_LOG_INFO, "quillmap", "hidden"), 0);
  EXPECT_GT(__android_log_print(ANDROID_LOG_ERROR, "quillmap", "shown"), 0);
  EXPECT_EQ(filtered.Stop(), "quillmap E shown\n");
}

// A failing CHECK writes its text and ends; a passing one builds nothing.
TEST_F(LoggingTest, CheckFailureWritesExpressionAndMessageThenEnds) {
  int built = 0;
  CHECK(built == 0) << BuildCounter(&built);
  EXPECT_EQ(built, 0);
  const int* io = nullptr;
  EXPECT_DEATH(CHECK(io != nullptr)
                   << "nullptr passed to dm_ioctl initialization",
               "Check failed: io != nullptr nullptr passed to dm_ioctl "
               "initialization");
  // Even with every line filtered out.
  setenv("ANDROID_LOG_TAGS", "*:s", 1);
  EXPECT_DEATH(CHECK(1 + 1 == 3) << "math", "Check failed: 1 \\+ 1 == 3 math");
}

}  // namespace
