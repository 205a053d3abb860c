// Kernel log records: their exact bytes, errno kept, and one open per
// record. That every line of the program reaches both the kernel log and
// stderr is checked on the real program (walk_test's RealProgram case).
#include "kernel_log.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "temp_dir.h"

namespace quillmap {
namespace {

using android::base::LogSeverity;

std::string Contents(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(KernelLog, RecordCarriesLevelTagPlaceAndText) {
  const std::string long_text(2000, 'x');
  const struct {
    LogSeverity severity;
    const char* file;
    const char* message;
    std::string want;
  } cases[] = {
      {android::base::ERROR, nullptr, "Device /dev/block/sda not found.",
       "<3>quillmap: Device /dev/block/sda not found.\n"},
      {android::base::INFO, "/src/libdm/dm.cpp", "Detected",
       "<6>quillmap: dm.cpp:42] Detected\n"},
      {android::base::WARNING, "dm.cpp", "retrying",
       "<4>quillmap: dm.cpp:42] retrying\n"},
      {android::base::DEBUG, nullptr, "d", "<7>quillmap: d\n"},
      {android::base::FATAL, nullptr, "Check failed",
       "<2>quillmap: Check failed\n"},
      // Cut to the 992 bytes every kernel takes, newline included.
      {android::base::ERROR, nullptr, long_text.c_str(),
       "<3>quillmap: " + std::string(992 - 14, 'x') + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want.substr(0, 40));
    quillmap_testing::TempDir dir;
    const std::string path = dir.File("kmsg", "");
    errno = EBUSY;
    WriteKernelRecord(path.c_str(), c.severity, "quillmap", c.file, 42,
                      c.message);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(Contents(path), c.want);
  }
}

// A descriptor kept open would carry the kernel's rate limit from record to
// record; here it would also keep writing to the file that was moved away.
// A node that is missing is not made.
TEST(KernelLog, EveryRecordOpensTheNodeAgain) {
  quillmap_testing::TempDir dir;
  const std::string path = dir.File("kmsg", "");
  WriteKernelRecord(path.c_str(), android::base::INFO, "quillmap", nullptr, 0,
                    "one");
  ASSERT_EQ(rename(path.c_str(), dir.Path("old").c_str()), 0);
  errno = EBUSY;
  WriteKernelRecord(path.c_str(), android::base::INFO, "quillmap", nullptr, 0,
                    "lost");
  EXPECT_EQ(errno, EBUSY);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  dir.File("kmsg", "");
  WriteKernelRecord(path.c_str(), android::base::INFO, "quillmap", nullptr, 0,
                    "two");
  EXPECT_EQ(Contents(dir.Path("old")), "<6>quillmap: one\n");
  EXPECT_EQ(Contents(path), "<6>quillmap: two\n");
}

}  // namespace
}  // namespace quillmap
