// Device removal against the fake kernel: its requests, the wait for the
// link to go, the missing uevent, and the retries of a busy removal.
#include <errno.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include "dm_request.h"
#include "dm_test_util.h"

namespace android {
namespace dm {
namespace testing_util {
namespace {

using DeleteTest = DmTest;

TEST_F(DeleteTest, RemovalWithoutWaitWantsAUeventOnlyForAnExistingLink) {
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

  // A reply without the uevent flag fails the removal of a device that had
  // its link.
  ASSERT_TRUE(dm_->CreateDevice("a", table, &path, milliseconds(500)));
  Inject({"DM_DEV_REMOVE.flags=0"});
  lines =
      Logged([&] { EXPECT_FALSE(dm_->DeleteDevice("a", milliseconds(0))); });
  EXPECT_THAT(lines, ElementsAre("E Didn't generate uevent for [a] removal"));
  EXPECT_THAT(fakedm::Devices(), IsEmpty())
      << "gone from the kernel all the same";

  // No link when the removal starts: the flag is not looked at.
  Inject({"DM_DEV_REMOVE.flags=0", "devmgr=never"});
  ASSERT_TRUE(dm_->CreateDevice("b", table, &path, milliseconds(0)));
  lines = Logged([&] { EXPECT_TRUE(dm_->DeleteDevice("b", milliseconds(0))); });
  EXPECT_THAT(lines, IsEmpty());
}

TEST_F(DeleteTest, PositiveTimeoutWaitsForTheLinkToGo) {
  DmTable table = LinearTable();
  std::string path;
  ASSERT_TRUE(dm_->CreateDevice("a", table, &path, milliseconds(500)));
  const std::string link = contract::LinkPath(fakedm::Devices().at(0).uuid);
  Inject({"devmgr=3"});
  EXPECT_TRUE(dm_->DeleteDevice("a", milliseconds(2000)));
  EXPECT_NE(access(link.c_str(), F_OK), 0);

  // A link that outlives the wait.
  Inject({"devmgr=1"});
  ASSERT_TRUE(dm_->CreateDevice("b", table, &path, milliseconds(500)));
  const std::string link_b = contract::LinkPath(fakedm::Devices().at(0).uuid);
  Inject({"devmgr=never"});
  auto lines =
      Logged([&] { EXPECT_FALSE(dm_->DeleteDevice("b", milliseconds(60))); });
  EXPECT_THAT(lines,
              ElementsAre("E Failed waiting for " + link_b + " to be deleted"));
  EXPECT_THAT(fakedm::Devices(), IsEmpty());
}

TEST_F(DeleteTest, DeleteIfExistsRetriesOnlyABusyRemoval) {
  // A missing device counts as removed.
  auto lines = Logged([&] { EXPECT_TRUE(dm_->DeleteDeviceIfExists("ghost")); });
  EXPECT_THAT(lines, IsEmpty());
  EXPECT_THAT(RequestLog(),
              ElementsAre("DM_DEV_STATUS ghost " + std::to_string(ENXIO)));

  // An inactive device, busy twice: the third try removes it.
  ASSERT_TRUE(dm_->CreateDevice("a", "uuid-a"));
  const std::string busy = "DM_DEV_REMOVE failed for [a]";
  Inject({"DM_DEV_REMOVE=EBUSY@1,DM_DEV_REMOVE=EBUSY@2"});
  lines = Logged([&] { EXPECT_TRUE(dm_->DeleteDeviceIfExists("a")); });
  EXPECT_THAT(lines,
              ElementsAre("W " + busy + ", retrying: Device or resource busy",
                          "W " + busy + ", retrying: Device or resource busy"));
  EXPECT_THAT(fakedm::Devices(), IsEmpty());

  // Busy for good: CreateTest.FailureAtEachStage's "clean-up refused" row.
  // Any other error is not retried.
  ASSERT_TRUE(dm_->CreateDevice("a", "uuid-a"));
  Inject({"DM_DEV_REMOVE=ENXIO"});
  lines = Logged([&] { EXPECT_FALSE(dm_->DeleteDeviceIfExists("a")); });
  EXPECT_THAT(lines, ElementsAre("E " + busy + ": No such device or address"));
}

}  // namespace
}  // namespace testing_util
}  // namespace dm
}  // namespace android
