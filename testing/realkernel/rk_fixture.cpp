#include "rk_fixture.h"

#include <sys/sysmacros.h>

#include <memory>
#include <vector>

#include "libdm/dm_target.h"
#include "test_tables.h"

namespace android {
namespace dm {
namespace realkernel {

std::string DevText(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

DmTable OneLinear(uint64_t length, uint64_t sector) {
  return quillmap_testing::OneLinearTable(kLinearDisk, length, sector);
}

void WithDeviceManager::TearDown() {
  contract::DmContract::TearDown();
  // Whatever the library made and did not remove would show here.
  EXPECT_EQ(control_.List(), std::vector<std::string>{});
  EXPECT_TRUE(contract::WaitFor(
      [] {
        return contract::Entries("/dev/block", "dm-").empty() &&
               contract::Entries(kLinkPrefix, "").empty();
      },
      kStandInPatience))
      << "the stand-in left a node or link behind";
}

std::string WithDeviceManager::Name(const std::string& suffix) {
  Adopt("rk_" + suffix);
  return "rk_" + suffix;
}

}  // namespace realkernel
}  // namespace dm
}  // namespace android
