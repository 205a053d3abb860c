// Kernel log records: their exact bytes, one open per record, and the
// logger that writes them before handing the line on.
#include "kernel_log.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>
#include <sstream>
#include <string>

#include "temp_dir.h"

namespace quillmap {
namespace {

using android::base::LogSeverity;

std::string Contents(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
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
    WriteKernelRecord(path.c_str(), c.severity, "quillmap", c.file, 42,
                      c.message);
    EXPECT_EQ(Contents(path), c.want);
  }
}

// A descriptor kept open would carry the kernel's rate limit from record to
// record; here it would also keep writing to the file that was moved away.
TEST(KernelLog, EveryRecordOpensTheNodeAgain) {
  quillmap_testing::TempDir dir;
  const std::string path = dir.File("kmsg", "");
  WriteKernelRecord(path.c_str(), android::base::INFO, "quillmap", nullptr, 0,
                    "one");
  ASSERT_EQ(rename(path.c_str(), dir.Path("old").c_str()), 0);
  dir.File("kmsg", "");
  WriteKernelRecord(path.c_str(), android::base::INFO, "quillmap", nullptr, 0,
                    "two");
  EXPECT_EQ(Contents(dir.Path("old")), "<6>quillmap: one\n");
  EXPECT_EQ(Contents(path), "<6>quillmap: two\n");
}

TEST(KernelLog, LoggerWritesTheRecordThenHandsTheLineOnWithErrnoKept) {
  quillmap_testing::TempDir dir;
  const std::string path = dir.File("kmsg", "");
  const std::string missing = dir.Path("no/kmsg");
  std::string handed;
  for (const std::string& node : {path, missing}) {
    android::base::LogFunction logger = AlsoToKernelLog(
        node.c_str(),
        [&handed](android::base::LogId, LogSeverity severity, const char* tag,
                  const char* file, unsigned int line, const char* message) {
          handed += std::to_string(severity) + " " + tag + " " + file + ":" +
                    std::to_string(line) + " " + message + "\n";
        });
    errno = EBUSY;
    logger(android::base::DEFAULT, android::base::ERROR, "quillmap", "dm.cpp",
           7, "DM_DEV_CREATE failed");
    EXPECT_EQ(errno, EBUSY);
  }
  EXPECT_EQ(Contents(path), "<3>quillmap: dm.cpp:7] DM_DEV_CREATE failed\n");
  // A node that cannot be opened loses only the kernel's copy.
  EXPECT_EQ(handed,
            "4 quillmap dm.cpp:7 DM_DEV_CREATE failed\n"
            "4 quillmap dm.cpp:7 DM_DEV_CREATE failed\n");
}

}  // namespace
}  // namespace quillmap
