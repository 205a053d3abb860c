#include "dm_test_util.h"

#include "test_tables.h"

namespace android {
namespace dm {
namespace testing_util {

void DmTest::SetUp() {
  ASSERT_TRUE(sandbox_.ok());
  ASSERT_TRUE(
      sandbox_.AddDisk("/dev/block/sda", std::string("UFS\0", 4), 4 << 20));
  dm_ = std::make_unique<TestDeviceMapper>();
}

DmTable DmTest::LinearTable(uint64_t length) {
  return quillmap_testing::OneLinearTable("/dev/block/sda", length, 8);
}

void DmTest::Inject(const std::vector<std::string>& env) {
  dm_.reset();
  quillmap_testing::SetFakeEnvironment(env);
  dm_ = std::make_unique<TestDeviceMapper>();
}

}  // namespace testing_util
}  // namespace dm
}  // namespace android
