// Device status and paths against the fake kernel, and every call on an
// unknown name.
#include <gmock/gmock.h>

#include "dm_request.h"
#include "dm_test_util.h"

namespace android {
namespace dm {
namespace testing_util {
namespace {

using StatusTest = DmTest;

TEST_F(StatusTest, StateFollowsRegistrationLoadAndResume) {
  EXPECT_EQ(dm_->GetState("a"), DeviceState::Unavailable);
  ASSERT_TRUE(dm_->CreateDevice("a", "uuid-a"));
  EXPECT_EQ(dm_->GetState("a"), DeviceState::Inactive);
  DmTable table = LinearTable();
  ASSERT_TRUE(dm_->LoadTable("a", table));
  EXPECT_EQ(dm_->GetState("a"), DeviceState::Inactive);
  ASSERT_TRUE(dm_->LoadTableAndActivate("a", table));
  EXPECT_EQ(dm_->GetState("a"), DeviceState::Active);
  // Suspended (the library never suspends: the kernel's reply says so), a
  // device with a live table is inactive.
  Inject({"DM_DEV_STATUS.flags=" +
          std::to_string(DM_ACTIVE_PRESENT_FLAG | DM_SUSPEND_FLAG)});
  EXPECT_EQ(dm_->GetState("a"), DeviceState::Inactive);
}

// Every call on a name the kernel does not know: its own lines, false, and
// the caller's outputs untouched (a table list keeps its former entries).
TEST_F(StatusTest, UnknownNameFailsEachCallWithItsOwnLines) {
  unsigned long number = 7;
  std::string text = "keep";
  std::string node = "keep";
  std::string unique = "keep";
  std::vector<IDeviceMapper::TargetInfo> info(2);
  auto lines = Logged([&] {
    EXPECT_EQ(dm_->GetState("ghost"), DeviceState::Unavailable);
    EXPECT_FALSE(dm_->GetDeviceNumber("ghost", &number));
    EXPECT_FALSE(dm_->GetDeviceString("ghost", &text));
    EXPECT_FALSE(dm_->GetDmDevicePathByName("ghost", &node));
    EXPECT_FALSE(dm_->GetDeviceUniquePath("ghost", &unique));
    // GetDeviceString costs one request, not two.
    EXPECT_EQ(fakedm::Requests().size(), 5u);
    EXPECT_FALSE(dm_->GetTableInfo("ghost", &info));
    EXPECT_FALSE(dm_->DeleteDevice("ghost", milliseconds(0)));
  });
  const std::string enxio = ": No such device or address";
  EXPECT_THAT(lines, ElementsAre("W DM_DEV_STATUS failed for ghost" + enxio,
                                 "W DM_DEV_STATUS failed for ghost" + enxio,
                                 "W DM_DEV_STATUS failed for ghost" + enxio,
                                 "E Failed to get device path: ghost" + enxio,
                                 "E DM_TABLE_STATUS failed for ghost" + enxio,
                                 "E Failed to get device path: ghost" + enxio,
                                 "E Failed to get unique path for device ghost",
                                 "E DM_DEV_REMOVE failed for [ghost]" + enxio));
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(text, "keep");
  EXPECT_EQ(node, "keep");
  EXPECT_EQ(unique, "keep");
  EXPECT_EQ(info.size(), 2u);
}

TEST_F(StatusTest, PathsAndNumbersOfALiveDevice) {
  ASSERT_TRUE(dm_->CreateDevice("a", "0f0e0d0c-aaaa-bbbb-cccc-000000000001"));
  unsigned long number = 0;
  std::string text = "replace me", node = "replace me", unique = "replace me";
  EXPECT_TRUE(dm_->GetDeviceNumber("a", &number));
  EXPECT_EQ(number, 0xFD00u);
  EXPECT_TRUE(dm_->GetDeviceString("a", &text));
  EXPECT_EQ(text, "253:0");
  EXPECT_TRUE(dm_->GetDmDevicePathByName("a", &node));
  EXPECT_EQ(node, "/dev/block/dm-0");
  EXPECT_TRUE(dm_->GetDeviceUniquePath("a", &unique));
  EXPECT_EQ(unique,
            "/dev/block/mapper/by-uuid/0f0e0d0c-aaaa-bbbb-cccc-000000000001");
}

TEST_F(StatusTest, DeviceWithoutUuidHasNoUniquePathOnly) {
  ASSERT_TRUE(dm_->CreateDevice("bare", ""));
  std::string unique = "keep", node, text;
  unsigned long number = 0;
  auto lines =
      Logged([&] { EXPECT_FALSE(dm_->GetDeviceUniquePath("bare", &unique)); });
  EXPECT_THAT(lines, ElementsAre("E Device does not have a unique path: bare"));
  EXPECT_EQ(unique, "keep");
  EXPECT_EQ(dm_->GetState("bare"), DeviceState::Inactive);
  EXPECT_TRUE(dm_->GetDeviceNumber("bare", &number));
  EXPECT_TRUE(dm_->GetDeviceString("bare", &text));
  EXPECT_TRUE(dm_->GetDmDevicePathByName("bare", &node));
}

TEST_F(StatusTest, LongNamesReachTheKernelCutButAreLoggedWhole) {
  const std::string kernel_name(127, 'k');
  ASSERT_TRUE(dm_->CreateDevice(kernel_name, ""));
  const std::string long_name = kernel_name + "tail";
  unsigned long number = 0;
  EXPECT_TRUE(dm_->GetDeviceNumber(long_name, &number));
  ASSERT_TRUE(dm_->DeleteDeviceIfExists(long_name));
  auto lines =
      Logged([&] { EXPECT_FALSE(dm_->GetDeviceNumber(long_name, &number)); });
  EXPECT_THAT(lines, ElementsAre("W DM_DEV_STATUS failed for " + long_name +
                                 ": No such device or address"));
}

}  // namespace
}  // namespace testing_util
}  // namespace dm
}  // namespace android
