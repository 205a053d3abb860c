#include "dm_test_util.h"

namespace android {
namespace dm {
namespace testing_util {

void DmTest::SetUp() {
  ASSERT_TRUE(sandbox_.ok());
  ASSERT_TRUE(
      sandbox_.AddDisk("/dev/block/sda", quillmap_testing::kUfs, 4 << 20));
  dm_ = std::make_unique<TestDeviceMapper>();
}

void DmTest::Inject(const std::vector<std::string>& env) {
  dm_.reset();
  quillmap_testing::SetFakeEnvironment(env);
  dm_ = std::make_unique<TestDeviceMapper>();
}

}  // namespace testing_util
}  // namespace dm
}  // namespace android
