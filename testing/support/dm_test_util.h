// Shared fixture for the control-handle tests: a fresh sandbox for the fake
// device-mapper kernel per test, a fresh handle on it, and helpers to read
// the library's log lines back.
#pragma once

#include <fakedm/fakedm.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "libdm/dm.h"
#include "temp_dir.h"
#include "test_handle.h"

namespace android {
namespace dm {
namespace testing_util {

using std::chrono::milliseconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// "S text" for each library line ("<tag> <S> <file>:<line>] <text>") in
// |log|; other lines are kept whole.
std::vector<std::string> LibLines(const std::string& log);

// The requests the fake kernel received, as "REQUEST name" or
// "REQUEST name ERRNO".
std::vector<std::string> RequestLog();

class DmTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes |size| bytes ("UFS\0" header, then a pattern) at |root_|/|rel|.
  void MakeFile(const std::string& rel, uint64_t size,
                const std::string& header = std::string("UFS\0", 4));
  // A table of one linear target over /dev/block/sda from sector 8.
  static DmTable LinearTable(uint64_t length = 8184);
  // Makes the fake start fresh (new handle too) with |faults|.
  void Inject(const fakedm::Faults& faults);
  // Runs |body| with stderr captured; returns the library lines.
  template <typename F>
  std::vector<std::string> Logged(F&& body) {
    ::testing::internal::CaptureStderr();
    body();
    return LibLines(::testing::internal::GetCapturedStderr());
  }

  quillmap_testing::TempDir sandbox_{"dm_test"};
  const std::string& root_ = sandbox_.path();
  std::unique_ptr<TestDeviceMapper> dm_;
};

}  // namespace testing_util
}  // namespace dm
}  // namespace android
