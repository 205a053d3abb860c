// Shared fixture for the control-handle tests: a fresh fake sandbox
// (fake_sandbox.h) per test with the disk /dev/block/sda, a fresh handle on
// it, and helpers to read the library's log lines back.
#pragma once

#include <fakedm/fakedm.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_sandbox.h"
#include "libdm/dm.h"
#include "test_handle.h"
#include "test_tables.h"
#include "witness.h"

namespace android {
namespace dm {
namespace testing_util {

using quillmap_testing::RequestLog;
using std::chrono::milliseconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class DmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    ASSERT_TRUE(
        sandbox_.AddDisk("/dev/block/sda", quillmap_testing::kUfs, 4 << 20));
    dm_ = std::make_unique<TestDeviceMapper>();
  }

  // One linear target over /dev/block/sda from sector 8, as the program
  // maps a 4 MiB UFS unit.
  static DmTable LinearTable() {
    return quillmap_testing::LinearTable({{8184, "/dev/block/sda", 8}});
  }
  // Sets the fake's FAKEDM_* variables to |env| and gives the test a new
  // handle (which opens the control node again).
  void Inject(const std::vector<std::string>& env) {
    dm_.reset();
    quillmap_testing::SetFakeEnvironment(env);
    dm_ = std::make_unique<TestDeviceMapper>();
  }
  // Runs |body| with stderr captured; returns the library lines.
  template <typename F>
  std::vector<std::string> Logged(F&& body) {
    contract::StderrCapture capture;
    body();
    return contract::LogLines(capture.Stop());
  }

  quillmap_testing::FakeSandbox sandbox_{"dm_test"};
  const std::string& root_ = sandbox_.root();
  std::unique_ptr<TestDeviceMapper> dm_;
};

}  // namespace testing_util
}  // namespace dm
}  // namespace android
