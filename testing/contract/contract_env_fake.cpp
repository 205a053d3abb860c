// The contract suite's environment on the host: libfakedm, linked into the
// test, works in a temporary sandbox that this file fills before the first
// test (control node, backing disks with their headers and a pattern after
// them) and deletes after the last.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "contract_env.h"
#include "fakedm/fakedm.h"
#include "temp_dir.h"

namespace contract {
namespace {

namespace fs = std::filesystem;

class FakeKernel : public testing::Environment {
 public:
  void SetUp() override {
    sandbox_ = std::make_unique<quillmap_testing::TempDir>("contract-fakedm");
    ASSERT_TRUE(sandbox_->ok());
    root_ = sandbox_->path();
    ASSERT_FALSE(
        sandbox_->File("dev/device-mapper", std::string(1, '\0')).empty());
    for (const Disk& d : kDisks) {
      std::string bytes(d.size, '\0');
      bytes.replace(0, 4, d.header, 4);
      for (size_t i = 4; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 512) & 0xff);
      ASSERT_FALSE(
          sandbox_->File(fs::path(d.path).relative_path(), bytes).empty())
          << d.path;
    }
    fakedm::SetRoot(root_.string());
  }

  void TearDown() override {
    fakedm::SetRoot("");
    // Leaked on purpose: the folder stays for a look after the run.
    if (getenv("CONTRACT_KEEP_SANDBOX")) (void)sandbox_.release();
    sandbox_.reset();
  }

  const fs::path& root() const { return root_; }

 private:
  std::unique_ptr<quillmap_testing::TempDir> sandbox_;
  fs::path root_;
};

FakeKernel* const g_fake =
    static_cast<FakeKernel*>(testing::AddGlobalTestEnvironment(new FakeKernel));

}  // namespace

bool IsRealKernel() { return false; }

std::string DeviceNumberOf(const std::string& path) {
  return fakedm::DeviceNumberOf(path);
}

std::string InspectPath(const std::string& path) {
  return (g_fake->root() / fs::path(path).relative_path()).string();
}

}  // namespace contract
