// Device status and paths against the fake kernel, and every call on an
// unknown name.
#include <functional>

#include "dm_test_util.h"

namespace android {
namespace dm {
namespace testing_util {
namespace {

using StatusTest = DmTest;

TEST_F(StatusTest, StateFollowsRegistrationLoadAndResume) {
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

TEST_F(StatusTest, DeviceWithoutUuidHasNoUniquePathToWaitFor) {
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

  // Live, it cannot be waited for: the wait fails and removes it.
  ASSERT_TRUE(dm_->LoadTableAndActivate("bare", LinearTable()));
  lines = Logged([&] {
    EXPECT_FALSE(dm_->WaitForDevice("bare", milliseconds(100), &unique));
  });
  EXPECT_THAT(lines,
              ElementsAre("E Device does not have a unique path: bare",
                          "E Device does not have a unique path: bare",
                          "E Failed to get unique path for device bare"));
  EXPECT_EQ(unique, "keep");
  EXPECT_THAT(fakedm::Devices(), IsEmpty());

  // Its removal works; only a removal that would wait for the link fails.
  for (int timeout : {0, -5, 100}) {
    SCOPED_TRACE(timeout);
    ASSERT_TRUE(dm_->CreateDevice("bare", ""));
    lines = Logged([&] {
      EXPECT_EQ(dm_->DeleteDevice("bare", milliseconds(timeout)), timeout <= 0);
    });
    EXPECT_THAT(lines,
                ElementsAre("E Device does not have a unique path: bare",
                            "E Failed to get unique path for device bare"));
    EXPECT_THAT(fakedm::Devices(), IsEmpty());
  }
}

// A name that does not fit the kernel's field with its NUL, or a UUID over
// 128 bytes, would reach the kernel cut and the request would act on the
// device bearing the cut text: every operation refuses it, before any
// request, and that device stays as it was. No name at all is refused too.
TEST_F(StatusTest, NamesTooLongForTheKernelAreRefusedByEveryOperation) {
  // 127 bytes is the longest name the kernel's field holds whole.
  const std::string cut(DM_NAME_LEN - 1, 'k');
  DmTable table = LinearTable();
  std::string text;
  ASSERT_TRUE(dm_->CreateDevice(cut, table, &text, milliseconds(500)));
  const std::string name = cut + "tail";
  const std::string uuid(DM_UUID_LEN, 'u');
  const std::string refused =
      "E [" + name + "] is too long to be device mapper name";
  text = "keep";
  unsigned long number = 7;
  std::vector<IDeviceMapper::TargetInfo> info;
  // Each call with a long name; then creation with a long UUID, and unnamed.
  const std::vector<std::function<bool()>> calls = {
      [&] { return dm_->GetState(name) != DeviceState::Unavailable; },
      [&] { return dm_->GetDeviceNumber(name, &number); },
      [&] { return dm_->GetDeviceString(name, &text); },
      [&] { return dm_->GetDmDevicePathByName(name, &text); },
      [&] { return dm_->GetDeviceUniquePath(name, &text); },
      [&] { return dm_->GetTableInfo(name, &info); },
      [&] { return dm_->GetTableStatus(name, &info); },
      [&] { return dm_->LoadTable(name, table); },
      [&] { return dm_->LoadTableAndActivate(name, table); },
      [&] { return dm_->WaitForDevice(name, milliseconds(0), &text); },
      [&] { return dm_->DeleteDevice(name, milliseconds(0)); },
      [&] { return dm_->DeleteDeviceIfExists(name); },
      [&] { return dm_->CreateEmptyDevice(name); },
      [&] { return dm_->CreateDevice(name, table, &text, milliseconds(0)); },
      [&] { return dm_->CreateDevice("u", uuid); },
      [&] { return dm_->CreateDevice("", table, &text, milliseconds(0)); },
  };
  std::vector<std::string> want(calls.size() - 2, refused);
  want.push_back("E [" + uuid + "] is too long to be device mapper uuid");
  want.push_back("E Unnamed device mapper device creation is not supported");
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(i);
    const size_t requests = fakedm::Requests().size();
    EXPECT_THAT(Logged([&] { EXPECT_FALSE(calls[i]()); }),
                ElementsAre(want[i]));
    EXPECT_EQ(fakedm::Requests().size(), requests);
  }
  EXPECT_EQ(text, "keep");
  EXPECT_EQ(number, 7u);
  EXPECT_THAT(info, IsEmpty());
  const auto devices = fakedm::Devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].name, cut);
  EXPECT_EQ(devices[0].active.size(), 1u);
}

}  // namespace
}  // namespace testing_util
}  // namespace dm
}  // namespace android
