// Device status, paths and removal against the fake kernel.
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <linux/dm-ioctl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "dm_test_util.h"
#include "libdm/dm_target.h"

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
  // Suspended (the library never suspends; a test's own request does), a
  // device with a live table is inactive.
  android::base::unique_fd control(
      open("/dev/device-mapper", O_RDWR | O_CLOEXEC));
  struct dm_ioctl io;
  TestDeviceMapper::InitRequestHeader(&io, "a");
  io.flags = DM_SUSPEND_FLAG;
  ASSERT_EQ(ioctl(control.get(), DM_DEV_SUSPEND, &io), 0);
  EXPECT_EQ(dm_->GetState("a"), DeviceState::Inactive);
}

TEST_F(StatusTest, UnknownNameFailsEachQueryWithItsOwnLine) {
  unsigned long number = 7;
  std::string text = "keep";
  std::string node = "keep";
  std::string unique = "keep";
  auto lines = Logged([&] {
    EXPECT_EQ(dm_->GetState("ghost"), DeviceState::Unavailable);
    EXPECT_FALSE(dm_->GetDeviceNumber("ghost", &number));
    EXPECT_FALSE(dm_->GetDeviceString("ghost", &text));
    EXPECT_FALSE(dm_->GetDmDevicePathByName("ghost", &node));
    EXPECT_FALSE(dm_->GetDeviceUniquePath("ghost", &unique));
  });
  EXPECT_THAT(
      lines,
      ElementsAre(
          "W DM_DEV_STATUS failed for ghost: No such device or address",
          "W DM_DEV_STATUS failed for ghost: No such device or address",
          "W DM_DEV_STATUS failed for ghost: No such device or address",
          "E Failed to get device path: ghost: No such device or address"));
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(text, "keep");
  EXPECT_EQ(node, "keep");
  EXPECT_EQ(unique, "keep");
  // GetDeviceString costs one request, not two.
  EXPECT_EQ(fakedm::Requests().size(), 5u);
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

TEST_F(StatusTest, MinorAbove255UsesTheHighBitsOfTheDeviceNumber) {
  for (int i = 0; i <= 300; ++i) {
    ASSERT_TRUE(dm_->CreateDevice("d" + std::to_string(i), ""));
  }
  unsigned long number = 0;
  std::string text, node;
  ASSERT_TRUE(dm_->GetDeviceNumber("d300", &number));
  EXPECT_EQ(number, 0x10FD2Cu);
  ASSERT_TRUE(dm_->GetDeviceString("d300", &text));
  EXPECT_EQ(text, "253:300");
  ASSERT_TRUE(dm_->GetDmDevicePathByName("d300", &node));
  EXPECT_EQ(node, "/dev/block/dm-300");
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

using DeleteTest = DmTest;

TEST_F(DeleteTest, LiveDeviceWithLinkIsRemovedWithoutWaiting) {
  DmTable table = LinearTable();
  std::string path;
  ASSERT_TRUE(dm_->CreateDevice("a", table, &path, milliseconds(500)));
  const size_t before = fakedm::Requests().size();
  auto lines =
      Logged([&] { EXPECT_TRUE(dm_->DeleteDevice("a", milliseconds(0))); });
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_THAT(fakedm::Devices(), IsEmpty());
  auto requests = RequestLog();
  EXPECT_THAT(
      std::vector<std::string>(requests.begin() + before, requests.end()),
      ElementsAre("DM_DEV_STATUS a", "DM_DEV_REMOVE a"));
}

TEST_F(DeleteTest, MissingUeventFailsOnlyWhenTheLinkExisted) {
  DmTable table = LinearTable();
  std::string path;
  ASSERT_TRUE(dm_->CreateDevice("a", table, &path, milliseconds(500)));
  fakedm::Faults faults;
  faults.remove_without_uevent = true;
  fakedm::SetFaults(faults);
  auto lines =
      Logged([&] { EXPECT_FALSE(dm_->DeleteDevice("a", milliseconds(0))); });
  EXPECT_THAT(lines, ElementsAre("E Didn't generate uevent for [a] removal"));
  EXPECT_THAT(fakedm::Devices(), IsEmpty())
      << "gone from the kernel all the same";

  // No link when the removal starts: the flag is not looked at.
  fakedm::DeviceManager manager;
  manager.enabled = false;
  fakedm::SetDeviceManager(manager);
  ASSERT_TRUE(dm_->CreateDevice("b", table, &path, milliseconds(0)));
  lines = Logged([&] { EXPECT_TRUE(dm_->DeleteDevice("b", milliseconds(0))); });
  EXPECT_THAT(lines, IsEmpty());
}

TEST_F(DeleteTest, DeviceWithoutUuidIsRemovedButCannotBeWaitedFor) {
  for (int timeout : {0, -5, 100}) {
    SCOPED_TRACE(timeout);
    ASSERT_TRUE(dm_->CreateDevice("bare", ""));
    auto lines = Logged([&] {
      EXPECT_EQ(dm_->DeleteDevice("bare", milliseconds(timeout)), timeout <= 0);
    });
    EXPECT_THAT(lines,
                ElementsAre("E Device does not have a unique path: bare",
                            "E Failed to get unique path for device bare"));
    EXPECT_THAT(fakedm::Devices(), IsEmpty());
  }
}

TEST_F(DeleteTest, UnknownNameFailsWithThreeLines) {
  auto lines = Logged(
      [&] { EXPECT_FALSE(dm_->DeleteDevice("ghost", milliseconds(0))); });
  EXPECT_THAT(
      lines,
      ElementsAre(
          "E Failed to get device path: ghost: No such device or address",
          "E Failed to get unique path for device ghost",
          "E DM_DEV_REMOVE failed for [ghost]: No such device or address"));
}

TEST_F(DeleteTest, PositiveTimeoutWaitsForTheLinkToGo) {
  DmTable table = LinearTable();
  std::string path;
  ASSERT_TRUE(dm_->CreateDevice("a", table, &path, milliseconds(500)));
  const std::string link =
      "/dev/block/mapper/by-uuid/" + fakedm::Devices().at(0).uuid;
  fakedm::DeviceManager manager;
  manager.delay_ms = 40;
  fakedm::SetDeviceManager(manager);
  EXPECT_TRUE(dm_->DeleteDevice("a", milliseconds(2000)));
  EXPECT_NE(access(link.c_str(), F_OK), 0);

  // A link that outlives the wait.
  manager.delay_ms = 1;
  fakedm::SetDeviceManager(manager);
  ASSERT_TRUE(dm_->CreateDevice("b", table, &path, milliseconds(500)));
  const std::string link_b =
      "/dev/block/mapper/by-uuid/" + fakedm::Devices().at(0).uuid;
  manager.delay_ms = 60000;
  fakedm::SetDeviceManager(manager);
  auto lines =
      Logged([&] { EXPECT_FALSE(dm_->DeleteDevice("b", milliseconds(60))); });
  EXPECT_THAT(lines,
              ElementsAre("E Failed waiting for " + link_b + " to be deleted"));
  EXPECT_THAT(fakedm::Devices(), IsEmpty());
}

TEST_F(DeleteTest, DeleteIfExistsCountsAMissingDeviceAsRemoved) {
  auto lines = Logged([&] { EXPECT_TRUE(dm_->DeleteDeviceIfExists("ghost")); });
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_THAT(RequestLog(),
              ElementsAre("DM_DEV_STATUS ghost " + std::to_string(ENXIO)));

  ASSERT_TRUE(dm_->CreateDevice("inactive", "uuid-i"));
  EXPECT_TRUE(dm_->DeleteDeviceIfExists("inactive"));
  EXPECT_THAT(fakedm::Devices(), IsEmpty());
}

TEST_F(DeleteTest, BusyRemovalIsRetriedThenGivenUp) {
  ASSERT_TRUE(dm_->CreateDevice("a", "uuid-a"));
  const std::string busy = "DM_DEV_REMOVE failed for [a]";
  // Busy twice: the third try removes it.
  fakedm::Faults faults;
  faults.requests.push_back({"DM_DEV_REMOVE", EBUSY, 1});
  faults.requests.push_back({"DM_DEV_REMOVE", EBUSY, 2});
  fakedm::SetFaults(faults);
  auto lines = Logged([&] { EXPECT_TRUE(dm_->DeleteDeviceIfExists("a")); });
  EXPECT_THAT(lines,
              ElementsAre("W " + busy + ", retrying: Device or resource busy",
                          "W " + busy + ", retrying: Device or resource busy"));
  EXPECT_THAT(fakedm::Devices(), IsEmpty());

  // Busy for good: five tries, then the error, and the device stays.
  ASSERT_TRUE(dm_->CreateDevice("a", "uuid-a"));
  faults.requests = {{"DM_DEV_REMOVE", EBUSY, 0}};
  fakedm::SetFaults(faults);
  lines = Logged([&] { EXPECT_FALSE(dm_->DeleteDeviceIfExists("a")); });
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines.back(), "E " + busy + ": Device or resource busy");
  EXPECT_EQ(fakedm::Devices().size(), 1u);

  // Any other error is not retried.
  faults.requests = {{"DM_DEV_REMOVE", ENXIO, 0}};
  fakedm::SetFaults(faults);
  lines = Logged([&] { EXPECT_FALSE(dm_->DeleteDeviceIfExists("a")); });
  EXPECT_THAT(lines, ElementsAre("E " + busy + ": No such device or address"));
}

}  // namespace
}  // namespace testing_util
}  // namespace dm
}  // namespace android
