// Path waits: first test at once, bounded polling, unexpected errors end the
// wait. access() is interposed for paths under a made-up prefix so that the
// tests can script its answers and count the tests made.
#include "libdm/utility.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "witness.h"

namespace {

constexpr char kScripted[] = "/scripted-path/";

struct Script {
  std::vector<int> answers;  // 0 = exists, else the errno; the last repeats
  size_t calls = 0;
} g_script;

void SetScript(std::vector<int> answers) {
  g_script.answers = std::move(answers);
  g_script.calls = 0;
}

}  // namespace

extern "C" int access(const char* path, int mode) {
  if (strncmp(path, kScripted, strlen(kScripted)) == 0) {
    size_t i = g_script.calls++;
    int answer = g_script.answers[std::min(i, g_script.answers.size() - 1)];
    if (answer == 0) return 0;
    errno = answer;
    return -1;
  }
  return static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, path, mode, 0));
}

namespace {

using android::dm::WaitForFile;
using android::dm::WaitForFileDeleted;
using std::chrono::milliseconds;

const std::string kPath = std::string(kScripted) + "node";

milliseconds ElapsedSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(
      std::chrono::steady_clock::now() - start);
}

// A condition met at once returns at the first test whatever the time-out;
// one not met under a time-out shorter than an interval (20 ms) is tested
// once and given up after that interval.
TEST(WaitForFile, FirstTestDecidesForAnyTimeoutUpToOneInterval) {
  for (int timeout : {-1000, -5, -1, 0, 1, 19, 500}) {
    SCOPED_TRACE(timeout);
    SetScript({0});
    EXPECT_TRUE(WaitForFile(kPath, milliseconds(timeout)));
    EXPECT_EQ(g_script.calls, 1u);
    SetScript({ENOENT});
    EXPECT_TRUE(WaitForFileDeleted(kPath, milliseconds(timeout)));
    EXPECT_EQ(g_script.calls, 1u);
    if (timeout >= 20) continue;
    SetScript({ENOENT});
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitForFile(kPath, milliseconds(timeout)));
    EXPECT_EQ(g_script.calls, 1u);
    EXPECT_GE(ElapsedSince(start), milliseconds(20));
    SetScript({0});
    EXPECT_FALSE(WaitForFileDeleted(kPath, milliseconds(timeout)));
    EXPECT_EQ(g_script.calls, 1u);
  }
}

TEST(WaitForFile, NeverTestsMoreOftenThanTheIntervalAllows) {
  SetScript({ENOENT});
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitForFile(kPath, milliseconds(100)));
  // Sleeps of at least 20 ms: at most one test at 0 and one per interval.
  EXPECT_LE(g_script.calls, 100u / 20u + 1u);
  EXPECT_GE(g_script.calls, 1u);
  EXPECT_GT(ElapsedSince(start), milliseconds(100));
}

TEST(WaitForFile, SeesPathThatAppearsDuringTheWait) {
  SetScript({ENOENT, ENOENT, ENOENT, 0});
  EXPECT_TRUE(WaitForFile(kPath, milliseconds(10000)));
  EXPECT_EQ(g_script.calls, 4u);

  SetScript({0, 0, ENOENT});
  EXPECT_TRUE(WaitForFileDeleted(kPath, milliseconds(10000)));
  EXPECT_EQ(g_script.calls, 3u);
}

TEST(WaitForFile, UnexpectedErrorEndsTheWaitAtOnceWithOneLine) {
  for (int error : {ENOTDIR, EACCES, ELOOP}) {
    SCOPED_TRACE(strerror(error));
    for (bool deleted : {false, true}) {
      SCOPED_TRACE(deleted ? "WaitForFileDeleted" : "WaitForFile");
      // One unmet test, then the error, then what would have satisfied it.
      SetScript(deleted ? std::vector<int>{0, error, ENOENT}
                        : std::vector<int>{ENOENT, error, 0});
      contract::StderrCapture capture;
      const bool result = deleted
                              ? WaitForFileDeleted(kPath, milliseconds(10000))
                              : WaitForFile(kPath, milliseconds(10000));
      const std::string log = capture.Stop();
      EXPECT_FALSE(result);
      EXPECT_EQ(g_script.calls, 2u);
      const std::string line =
          "access failed: " + kPath + ": " + strerror(error) + "\n";
      EXPECT_NE(log.find(line), std::string::npos) << log;
      EXPECT_EQ(log.find('\n'), log.size() - 1) << "exactly one line: " << log;
    }
  }
}

// The same on a real file system, with no time to wait: a file used as a
// directory (ENOTDIR) is an unexpected error with its line; a missing
// directory and a dangling symbolic link count as absent.
TEST(WaitOnFileSystem, ErrorsAndAbsencesOfRealPaths) {
  quillmap_testing::TempDir dir("utility_test");
  ASSERT_TRUE(dir.ok());
  const std::string file = dir.File("file", "");
  ASSERT_EQ(symlink("../no-such-target", dir.Path("dangling").c_str()), 0);
  ASSERT_EQ(symlink("file", dir.Path("good").c_str()), 0);
  const struct {
    std::string path;
    bool exists, deleted;
    std::string line;  // the one line logged, if any
  } cases[] = {
      {file + "/child", false, false,
       "access failed: " + file + "/child: Not a directory\n"},
      {dir.Path("no/such/dir/node"), false, true, ""},
      {dir.Path("dangling"), false, true, ""},
      {dir.Path("good"), true, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    contract::StderrCapture capture;
    EXPECT_EQ(WaitForFile(c.path, milliseconds(0)), c.exists);
    const std::string log = capture.Stop();
    if (c.line.empty()) {
      EXPECT_EQ(log, "");
    } else {
      EXPECT_NE(log.find(c.line), std::string::npos) << log;
    }
    EXPECT_EQ(WaitForFileDeleted(c.path, milliseconds(0)), c.deleted);
  }
}

}  // namespace
