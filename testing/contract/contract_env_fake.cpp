// The contract suite's environment on the host: libfakedm, linked into the
// test, works in the one fake sandbox (testing/support), filled before the
// first test with the backing disks and deleted after the last.
#include <gtest/gtest.h>

#include <memory>

#include "contract_fixture.h"
#include "fake_sandbox.h"
#include "fakedm/fakedm.h"

namespace contract {
namespace {

class FakeKernel : public testing::Environment {
 public:
  void SetUp() override {
    sandbox = std::make_unique<quillmap_testing::FakeSandbox>("contract");
    ASSERT_TRUE(sandbox->ok());
    for (const Disk& d : kDisks) {
      ASSERT_TRUE(sandbox->AddDisk(d.path, std::string(d.header, 4), d.size))
          << d.path;
    }
  }
  void TearDown() override { sandbox.reset(); }

  std::unique_ptr<quillmap_testing::FakeSandbox> sandbox;
};

FakeKernel* const g_fake =
    static_cast<FakeKernel*>(testing::AddGlobalTestEnvironment(new FakeKernel));

}  // namespace

bool IsRealKernel() { return false; }

std::string DeviceNumberOf(const std::string& path) {
  return fakedm::DeviceNumberOf(path);
}

std::string InspectPath(const std::string& path) {
  return g_fake->sandbox->Inside(path);
}

}  // namespace contract
