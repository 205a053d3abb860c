// Tests of the fake's parts that the contract suite does not reach: its
// settings from the environment (and errno names), the text form of its
// state, the order of the device manager's events, and device numbers at the
// limits of their fields (minor 300 is the contract suite's).
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <map>

#include "config.h"
#include "kernel.h"
#include "state.h"

namespace fakedm {
namespace internal {
namespace {

TEST(RequestFaults, Parse) {
  const struct {
    const char* text;
    bool ok;
    std::vector<RequestFault> faults;
  } cases[] = {
      {"", true, {}},
      {"DM_TABLE_LOAD=EINVAL", true, {{"DM_TABLE_LOAD", EINVAL, 0}}},
      {"TABLE_LOAD=EINVAL,DM_DEV_REMOVE=EBUSY@2",
       true,
       {{"DM_TABLE_LOAD", EINVAL, 0}, {"DM_DEV_REMOVE", EBUSY, 2}}},
      {"DM_DEV_CREATE=5,", true, {{"DM_DEV_CREATE", 5, 0}}},
      {"DM_NOPE=EINVAL", false, {}},
      {"DM_TABLE_LOAD", false, {}},
      {"DM_TABLE_LOAD=", false, {}},
      {"DM_TABLE_LOAD=EWHAT", false, {}},
      {"DM_TABLE_LOAD=EINVAL@0", false, {}},
      {"DM_TABLE_LOAD=EINVAL@x", false, {}},
      {"DM_TABLE_LOAD=0", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<RequestFault> got = {{"untouched", 1, 1}};
    ASSERT_EQ(ParseRequestFaults(c.text, &got), c.ok);
    if (!c.ok) {
      EXPECT_EQ(got.size(), 1u) << "no partial result";
      continue;
    }
    ASSERT_EQ(got.size(), c.faults.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].request, c.faults[i].request);
      EXPECT_EQ(got[i].error, c.faults[i].error);
      EXPECT_EQ(got[i].occurrence, c.faults[i].occurrence);
    }
  }
}

TEST(ErrnoNames, BothWays) {
  for (int err : {EPERM, ENOENT, EINTR, ENXIO, EBUSY, ENODEV, EINVAL, ENOTTY}) {
    int back = 0;
    ASSERT_TRUE(ParseErrno(ErrnoName(err), &back)) << ErrnoName(err);
    EXPECT_EQ(back, err);
  }
  EXPECT_EQ(ErrnoName(0), "0");
  int e = 0;
  EXPECT_FALSE(ParseErrno("EBUSYX", &e));
  EXPECT_FALSE(ParseErrno("-1", &e));
}

class FakeEnv {
 public:
  explicit FakeEnv(std::map<std::string, std::string> vars)
      : vars_(std::move(vars)) {}
  GetEnv getenv() const {
    return [this](const char* name) -> const char* {
      auto it = vars_.find(name);
      return it == vars_.end() ? nullptr : it->second.c_str();
    };
  }

 private:
  std::map<std::string, std::string> vars_;
};

TEST(Settings, DefaultsWithoutEnvironment) {
  Settings s;
  std::string error;
  ASSERT_TRUE(ReadSettings(FakeEnv({}).getenv(), &s, &error)) << error;
  EXPECT_EQ(s.root, "");
  EXPECT_TRUE(s.faults.requests.empty());
  EXPECT_EQ(s.faults.control_open_error, 0);
  EXPECT_FALSE(s.faults.status_reply_set);
  EXPECT_TRUE(s.faults.read.path.empty() && s.faults.seek.path.empty());
  EXPECT_TRUE(s.device_manager.enabled);
  EXPECT_EQ(s.device_manager.delay_ms, 5);
  EXPECT_EQ(s.device_manager.link_delay_ms, -1);
}

TEST(Settings, EveryVariable) {
  char reply_path[] = "/tmp/fakedm-reply-XXXXXX";
  const int fd = mkstemp(reply_path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "\x01\x02\x03", 3), 3);
  close(fd);
  FakeEnv env({{"FAKEDM_ROOT", "/tmp/r"},
               {"FAKEDM_FAIL", "DM_DEV_STATUS=ENXIO@3"},
               {"FAKEDM_CONTROL_OPEN_FAIL", "EACCES"},
               {"FAKEDM_CONTROL_OPEN_EINTR", "2"},
               {"FAKEDM_READ_FAIL", "/dev/block/sda=EIO"},
               {"FAKEDM_LSEEK_FAIL", "/dev/block/a=b=5"},
               {"FAKEDM_REMOVE_NO_UEVENT", "1"},
               {"FAKEDM_CREATE_TARGET_COUNT", "4"},
               {"FAKEDM_CREATE_OPEN_COUNT", "1"},
               {"FAKEDM_STATUS_BUFFER_FULL", "7"},
               {"FAKEDM_STATUS_REPLY", reply_path},
               {"FAKEDM_DEVMGR", "0"},
               {"FAKEDM_DEVMGR_DELAY_MS", "20"},
               {"FAKEDM_LINK_DELAY_MS", "900"}});
  Settings s;
  std::string error;
  const bool ok = ReadSettings(env.getenv(), &s, &error);
  unlink(reply_path);
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(s.root, "/tmp/r");
  ASSERT_EQ(s.faults.requests.size(), 1u);
  EXPECT_EQ(s.faults.requests[0].occurrence, 3);
  EXPECT_EQ(s.faults.control_open_error, EACCES);
  EXPECT_EQ(s.faults.control_open_eintr, 2);
  EXPECT_EQ(s.faults.read.path, "/dev/block/sda");
  EXPECT_EQ(s.faults.read.error, EIO);
  EXPECT_EQ(s.faults.seek.path, "/dev/block/a=b");
  EXPECT_EQ(s.faults.seek.error, 5);
  EXPECT_TRUE(s.faults.remove_without_uevent);
  EXPECT_EQ(s.faults.create_target_count, 4u);
  EXPECT_EQ(s.faults.create_open_count, 1);
  EXPECT_EQ(s.faults.status_buffer_full, 7);
  EXPECT_TRUE(s.faults.status_reply_set);
  EXPECT_EQ(s.faults.status_reply, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(s.device_manager.enabled);
  EXPECT_EQ(s.device_manager.delay_ms, 20);
  EXPECT_EQ(s.device_manager.link_delay_ms, 900);
}

TEST(Settings, MalformedValuesAreNamed) {
  const std::pair<const char*, const char*> cases[] = {
      {"FAKEDM_FAIL", "DM_TABLE_LOAD"},
      {"FAKEDM_CONTROL_OPEN_FAIL", "sometimes"},
      {"FAKEDM_CONTROL_OPEN_EINTR", "-1"},
      {"FAKEDM_READ_FAIL", "/dev/block/sda"},
      {"FAKEDM_LSEEK_FAIL", "dev/block/sda=EIO"},
      {"FAKEDM_REMOVE_NO_UEVENT", "yes"},
      {"FAKEDM_CREATE_TARGET_COUNT", "4294967296"},
      {"FAKEDM_STATUS_BUFFER_FULL", "1x"},
      {"FAKEDM_STATUS_REPLY", "/nonexistent/reply@0"},
      {"FAKEDM_DEVMGR", "2"},
      {"FAKEDM_DEVMGR_DELAY_MS", "soon"},
      {"FAKEDM_LINK_DELAY_MS", "-5"},
  };
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    Settings s;
    std::string error;
    EXPECT_FALSE(ReadSettings(
        FakeEnv(std::map<std::string, std::string>{{name, value}}).getenv(), &s,
        &error));
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
}

State SampleState() {
  State s;
  s.backing["dev/block/with\ttab"] = {254, 16};
  MappedDevice d;
  d.name = "odd\tname\\with\nbreaks";
  d.uuid = "uuid-1";
  d.minor = 3;
  d.suspended = true;
  d.block_device = true;
  d.active.emplace();
  d.active->targets.push_back(
      {{0, 16, "linear", "/dev/block/sda 8"}, "254:16", 8});
  d.active->targets.push_back({{16, 1ull << 40, "zero", ""}, "", 0});
  d.inactive.emplace();  // stays in the process
  d.event_nr = 9;        // likewise
  s.devices[3] = d;
  MappedDevice bare;
  bare.name = "bare";
  bare.minor = 0;
  s.devices[0] = bare;
  s.events.push_back({1000, EventKind::kAddLink, 3, "uuid-1"});  // likewise
  return s;
}

TEST(StateText, HoldsWhatCrossesProcesses) {
  const std::string text = SerializeState(SampleState());
  EXPECT_EQ(text,
            "backing\t254\t16\tdev/block/with\\ttab\n"
            "device\t0\tbare\t\t0\t0\n"
            "device\t3\todd\\tname\\\\with\\nbreaks\tuuid-1\t1\t1\n"
            "target\t3\t0\t16\tlinear\t254:16\t8\t/dev/block/sda 8\n"
            "target\t3\t16\t1099511627776\tzero\t\t0\t\n");
  State back;
  ASSERT_TRUE(ParseState(text, &back)) << text;
  EXPECT_EQ(SerializeState(back), text);
  const MappedDevice& d = back.devices.at(3);
  EXPECT_EQ(d.name, SampleState().devices.at(3).name);
  EXPECT_TRUE(d.suspended && d.block_device);
  ASSERT_TRUE(d.active);
  ASSERT_EQ(d.active->targets.size(), 2u);
  EXPECT_EQ(d.active->targets[0].device, "254:16");
  EXPECT_EQ(d.active->targets[0].offset, 8u);
  EXPECT_EQ(d.active->targets[1].target.length, 1ull << 40);
  EXPECT_FALSE(back.devices.at(0).active);
  EXPECT_EQ(back.backing.at("dev/block/with\ttab"), (BlockNumber{254, 16}));
}

TEST(StateText, MalformedTextIsRefusedWhole) {
  const char* cases[] = {
      "nonsense\t1\n",
      "device\t1\tname\tuuid\t0\n",                    // a field short
      "device\tone\tname\tuuid\t0\t0\n",               // minor not a number
      "device\t1\tname\tuuid\t2\t0\n",                 // flag not 0/1
      "device\t1\ta\t\t0\t0\ndevice\t1\tb\t\t0\t0\n",  // minor twice
      "target\t1\t0\t8\tlinear\t\t0\t\n",              // no such device
      "device\t1\ta\t\t0\t0\ntarget\t1\t0\tx\tlinear\t\t0\t\n",  // length
      "backing\t254\tx\tdev/block/sda\n",
      "device\t1\tbad\\escape\t\t0\t0\n",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    State s = SampleState();
    EXPECT_FALSE(ParseState(text, &s));
    EXPECT_EQ(s.devices.size(), 2u) << "left untouched";
  }
}

TEST(StateEvents, ScheduleKeepsDueOrderAndArrivalOrder) {
  State s;
  s.Schedule({30, EventKind::kAddNode, 1, ""});
  s.Schedule({10, EventKind::kAddNode, 2, ""});
  s.Schedule({30, EventKind::kAddNode, 3, ""});
  s.Schedule({20, EventKind::kAddNode, 4, ""});
  std::vector<uint32_t> order;
  for (const Event& e : s.events) order.push_back(e.minor);
  EXPECT_EQ(order, (std::vector<uint32_t>{2, 4, 1, 3}));
}

TEST(DeviceNumbers, StandardEncoding) {
  const struct {
    uint32_t major, minor;
    uint64_t encoded;
  } cases[] = {
      {253, 0, 0xfd00},
      {254, 16, 0xfe10},
      {4095, 1048575, 0xffffffff},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.major) + ":" + std::to_string(c.minor));
    EXPECT_EQ(EncodeDev({c.major, c.minor}), c.encoded);
    EXPECT_EQ(EncodeDev({c.major, c.minor}), makedev(c.major, c.minor));
    EXPECT_EQ(DecodeDev(c.encoded), (BlockNumber{c.major, c.minor}));
  }
}

}  // namespace
}  // namespace internal
}  // namespace fakedm
