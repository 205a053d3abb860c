// The real, unmodified quillmap binary under the fake device-mapper kernel
// (LD_PRELOAD): its log lines, its exit status, and the devices it leaves.
#include <chrono>
#include <ostream>

#include "fake_sandbox.h"

namespace {

using quillmap_testing::kUuid;
using quillmap_testing::Outcome;
using quillmap_testing::QuillmapUnderFake;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

// One run of the program over a sandbox of disks.
struct Sandbox {
  struct Disk {
    const char* name;  // under /dev/block
    std::string header;
    uint64_t size;
  };
  struct Made {
    const char* name;
    const char* params;
    uint64_t length;
  };
  const char* test_name;
  std::vector<Disk> disks;
  std::vector<std::string> env;
  bool control_node;
  std::vector<std::string> lines;
  std::vector<Made> devices;
};

void PrintTo(const Sandbox& c, std::ostream* os) { *os << c.test_name; }

const std::string kUfs("UFS\0", 4);
constexpr uint64_t kFourMiB = 4ull << 20;

const Sandbox kSandboxes[] = {
    {"UfsOnlyDeviceGetsBothRegionsMapped",
     {{"sda", kUfs, kFourMiB}, {"sdb", "UFSB", kFourMiB}},
     {},
     true,
     {"I Created DM device preloader_raw_a at /dev/block/dm-0.",
      "I Created DM device preloader_raw_b at /dev/block/dm-1.",
      "E Device /dev/block/mmcblk0boot0 not found.",
      "E Device /dev/block/mmcblk0boot1 not found."},
     {{"preloader_raw_a", "/dev/block/sda 8", 8184},
      {"preloader_raw_b", "/dev/block/sdb 8", 8184}}},
    {"EmmcOnlyMapsFromSectorFour",
     {{"mmcblk0boot0", "EMMC", kFourMiB}, {"mmcblk0boot1", "COMB", kFourMiB}},
     {},
     true,
     {"E Device /dev/block/sda not found.",
      "E Device /dev/block/sdb not found.",
      "I Created DM device preloader_raw_a at /dev/block/dm-0.",
      "I Created DM device preloader_raw_b at /dev/block/dm-1."},
     {{"preloader_raw_a", "/dev/block/mmcblk0boot0 4", 8188},
      {"preloader_raw_b", "/dev/block/mmcblk0boot1 8", 8184}}},
    {"MissingControlNodeFailsEveryRecognisedCandidate",
     {{"sda", kUfs, kFourMiB}, {"mmcblk0boot1", "EMMC", kFourMiB}},
     {},
     false,
     {"E Failed to open device-mapper: No such file or directory",
      "E DM_DEV_CREATE failed for [preloader_raw_a]: Bad file descriptor",
      "E Failed to create device preloader_raw_a.",
      "E Device /dev/block/sdb not found.",
      "E Device /dev/block/mmcblk0boot0 not found.",
      "E DM_DEV_CREATE failed for [preloader_raw_b]: Bad file descriptor",
      "E Failed to create device preloader_raw_b."},
     {}},
    // Without a control node, asking for the handle would log its failure.
    {"NothingRecognisedNeverOpensTheControlNode",
     {{"sda", std::string(4, '\0'), kFourMiB},
      {"sdb", "UFS", 3},
      {"mmcblk0boot0", "EMMC", 4 * 512ull}},
     {},
     false,
     {"E Unknown header  for /dev/block/sda.",
      "E Failed to read /dev/block/sdb: read 3 of 4 header bytes.",
      "E Device /dev/block/mmcblk0boot0 is too small.",
      "E Device /dev/block/mmcblk0boot1 not found."},
     {}},
    {"FailedReadAndSeekCarryTheirErrnoAndTheWalkGoesOn",
     {{"sda", kUfs, kFourMiB},
      {"sdb", "COMB", kFourMiB},
      {"mmcblk0boot0", "EMMC", kFourMiB}},
     {"FAKEDM_READ_FAIL=/dev/block/sda=EIO",
      "FAKEDM_LSEEK_FAIL=/dev/block/sdb=ESPIPE"},
     true,
     {"E Failed to read /dev/block/sda: Input/output error.",
      "E Failed to seek /dev/block/sdb: Illegal seek.",
      "I Created DM device preloader_raw_a at /dev/block/dm-0.",
      "E Device /dev/block/mmcblk0boot1 not found."},
     {{"preloader_raw_a", "/dev/block/mmcblk0boot0 4", 8188}}},
};

class Sandboxes : public QuillmapUnderFake,
                  public testing::WithParamInterface<Sandbox> {};

// The kernel log's records as "S text", like Outcome::lines.
std::vector<std::string> KernelLogLines(const std::string& path) {
  static const std::regex kRecord(R"(<(\d)>quillmap: (?:[\w.]+:\d+\] )?(.*))");
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_match(line, m, kRecord)) {
      lines.push_back("unexpected record: " + line);
      continue;
    }
    const char letter = m[1] == "3" ? 'E' : m[1] == "6" ? 'I' : '?';
    lines.push_back(std::string(1, letter) + " " + m[2].str());
  }
  return lines;
}

// The exact lines, each on stderr and in the kernel log, exit status 0, the
// devices left (name, a uuid, one linear target each) and no descriptor left
// open.
TEST_P(Sandboxes, GiveTheirLinesAndDevices) {
  const Sandbox& c = GetParam();
  Disk("dev/kmsg", "", 0);
  for (const Sandbox::Disk& d : c.disks)
    Disk(std::string("dev/block/") + d.name, d.header, d.size);
  if (!c.control_node) {
    ASSERT_EQ(unlink((root_ + "/dev/device-mapper").c_str()), 0);
  }
  Outcome run = Quillmap(c.env);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, c.lines);
  EXPECT_EQ(KernelLogLines(root_ + "/dev/kmsg"), c.lines);
  const auto devices = fakedm::Devices();
  ASSERT_EQ(devices.size(), c.devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    EXPECT_EQ(devices[i].name, c.devices[i].name);
    EXPECT_THAT(devices[i].uuid, MatchesRegex(kUuid));
    ASSERT_EQ(devices[i].active.size(), 1u);
    EXPECT_EQ(devices[i].active[0].params, c.devices[i].params);
    EXPECT_EQ(devices[i].active[0].length, c.devices[i].length);
  }
  EXPECT_EQ(ChildOpenDescriptors(), 0);
}

INSTANTIATE_TEST_SUITE_P(Quillmap, Sandboxes, testing::ValuesIn(kSandboxes),
                         [](const testing::TestParamInfo<Sandbox>& info) {
                           return std::string(info.param.test_name);
                         });

TEST_F(QuillmapUnderFake, SecondStorageTypeAndSecondRunLeaveDevicesAlone) {
  Disk("dev/block/sda", std::string("UFS\0", 4), 4 << 20);
  Disk("dev/block/sdb", "COMB", 4 << 20);
  Disk("dev/block/mmcblk0boot0", "EMMC", 4 << 20);
  Disk("dev/block/mmcblk0boot1", "EMMC", 4 << 20);
  Outcome first = Quillmap();
  EXPECT_EQ(first.status, 0);
  EXPECT_THAT(
      first.lines,
      ElementsAre("I Created DM device preloader_raw_a at /dev/block/dm-0.",
                  "I Created DM device preloader_raw_b at /dev/block/dm-1.",
                  "E DM_DEV_CREATE failed for [preloader_raw_a]: Device or "
                  "resource busy",
                  "E Failed to create device preloader_raw_a.",
                  "E DM_DEV_CREATE failed for [preloader_raw_b]: Device or "
                  "resource busy",
                  "E Failed to create device preloader_raw_b."));
  const auto before = fakedm::Devices();
  fakedm::SetRoot("");

  Outcome second = Quillmap();
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.lines.size(), 8u);
  EXPECT_EQ(second.lines[1], "E Failed to create device preloader_raw_a.");
  const auto after = fakedm::Devices();
  ASSERT_EQ(after.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(after[i].uuid, before[i].uuid);
    EXPECT_EQ(after[i].active.at(0).params, before[i].active.at(0).params);
  }
}

TEST_F(QuillmapUnderFake, WithoutDeviceManagerEachCreationTimesOutAndIsUndone) {
  Disk("dev/block/sda", std::string("UFS\0", 4), 4 << 20);
  Disk("dev/block/sdb", std::string("UFS\0", 4), 4 << 20);
  const auto start = std::chrono::steady_clock::now();
  Outcome run = Quillmap({"FAKEDM_DEVMGR=0"});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 6u);
  EXPECT_THAT(run.lines[0],
              MatchesRegex(std::string("E Failed waiting for device path: "
                                       "/dev/block/mapper/by-uuid/") +
                           kUuid));
  EXPECT_EQ(run.lines[1], "E Failed to create device preloader_raw_a.");
  EXPECT_EQ(run.lines[3], "E Failed to create device preloader_raw_b.");
  EXPECT_THAT(fakedm::Devices(), IsEmpty());
  // Two waits of 500 ms each really happened.
  EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
}

}  // namespace
