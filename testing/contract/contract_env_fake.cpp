// The contract suite's environment on the host: libfakedm, linked into the
// test, works in a temporary sandbox that this file fills before the first
// test (control node, backing disks with their headers and a pattern after
// them) and deletes after the last.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "contract_env.h"
#include "fakedm/fakedm.h"

namespace contract {
namespace {

namespace fs = std::filesystem;

class FakeKernel : public testing::Environment {
 public:
  void SetUp() override {
    char dir[] = "/tmp/contract-fakedm-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    fs::create_directories(root_ / "dev/block");
    std::ofstream(root_ / "dev/device-mapper").put('\0');
    for (const Disk& d : kDisks) {
      std::string bytes(d.size, '\0');
      bytes.replace(0, 4, d.header, 4);
      for (size_t i = 4; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 512) & 0xff);
      std::ofstream out(root_ / fs::path(d.path).relative_path(),
                        std::ios::binary);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      ASSERT_TRUE(out.good()) << d.path;
    }
    fakedm::SetRoot(root_.string());
  }

  void TearDown() override {
    fakedm::SetRoot("");
    std::error_code ec;
    if (!root_.empty() && !getenv("CONTRACT_KEEP_SANDBOX"))
      fs::remove_all(root_, ec);
  }

  const fs::path& root() const { return root_; }

 private:
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
