// Tests of the fake's parts that neither the contract suite nor the library's
// tests reach (those set every FAKEDM_* variable): refusal of malformed
// settings, the text form of its state, the order of the device manager's
// events, and device numbers at the limits of their fields (minor 300 is the
// contract suite's).
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include <map>

#include "config.h"
#include "kernel.h"
#include "state.h"

namespace fakedm {
namespace internal {
namespace {

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

TEST(Settings, MalformedValuesAreNamed) {
  const std::pair<const char*, const char*> cases[] = {
      {"FAKEDM_FAIL", "DM_TABLE_LOAD"},
      {"FAKEDM_FAIL", "DM_TABLE_LOAD="},
      {"FAKEDM_FAIL", "DM_NOPE=EINVAL"},
      {"FAKEDM_FAIL", "TABLE_LOAD=EINVAL"},
      {"FAKEDM_FAIL", "DM_TABLE_LOAD=EWHAT"},
      {"FAKEDM_FAIL", "DM_TABLE_LOAD=EINVAL@0"},
      {"FAKEDM_FAIL", "DM_TABLE_LOAD=EINVAL@x"},
      {"FAKEDM_FAIL", "DM_TABLE_LOAD=0"},
      {"FAKEDM_FAIL", "DM_TABLE_LOAD=EBUSYX"},
      {"FAKEDM_FAIL", "DM_TABLE_LOAD=-1"},
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
