// One library control handle per test: the process-wide DeviceMapper::
// Instance() would outlive the tests and carry one test's state into the
// next. Header-only and free of the fake kernel, so the suites on real
// kernels use it as well as those on the fake.
#pragma once

#include "libdm/dm.h"

namespace android {
namespace dm {
namespace testing_util {

class TestDeviceMapper : public DeviceMapper {
 public:
  TestDeviceMapper() = default;
  using DeviceMapper::InitRequestHeader;
};

}  // namespace testing_util
}  // namespace dm
}  // namespace android
