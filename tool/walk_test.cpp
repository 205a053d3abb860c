// The program's walk over the fake kernel, in this process: one table of
// rows (disks, the fake's faults, the exact lines, the devices left), each
// walked over the program's own candidates with a fresh handle; and the
// unmodified binary in the same kind of sandbox, under valgrind's memcheck
// where the tree has it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>

#include "boot_region.h"
#include "dm_test_util.h"
#include "test_tables.h"

namespace quillmap {
namespace {

using android::dm::testing_util::TestDeviceMapper;
using quillmap_testing::DevicesLeft;
using quillmap_testing::FakeSandbox;
using quillmap_testing::kUfs;
using ::testing::Each;

struct Disk {
  const char* path;
  std::string header;
  uint64_t size;  // or kSocket
};

// A disk that is a bound socket: opening it fails ENXIO, even for root.
constexpr uint64_t kSocket = UINT64_MAX;

struct Row {
  const char* name;
  std::vector<Disk> disks;
  std::vector<std::string> env;  // FAKEDM_FAULTS items
  std::vector<std::string> lines;
  // "<name> dm-<minor>: <start> <length> <type> <params>" in minor order.
  std::vector<std::string> devices;
  bool control_node = true;
  int runs = 1;  // a second run sees the first one's devices
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

constexpr uint64_t k4M = 4 << 20;
const std::vector<Disk> kFour = {{"/dev/block/sda", kUfs, k4M},
                                 {"/dev/block/sdb", "COMB", k4M},
                                 {"/dev/block/mmcblk0boot0", "EMMC", k4M},
                                 {"/dev/block/mmcblk0boot1", "EMMC", k4M}};
constexpr char kA[] = "preloader_raw_a dm-0: 0 8184 linear /dev/block/sda 8";
constexpr char kB[] = "preloader_raw_b dm-1: 0 8184 linear /dev/block/sdb 8";
// With the first creation failed: sdb's b takes dm-0, boot0's a dm-1.
const std::vector<std::string> kAfterFirstFailed = {
    "preloader_raw_b dm-0: 0 8184 linear /dev/block/sdb 8",
    "preloader_raw_a dm-1: 0 8188 linear /dev/block/mmcblk0boot0 4"};
const std::vector<std::string> kRestAfterFirstFailed = {
    "E Failed to create device preloader_raw_a.",
    "I Created DM device preloader_raw_b at /dev/block/dm-0.",
    "I Created DM device preloader_raw_a at /dev/block/dm-1.",
    "E DM_DEV_CREATE failed for [preloader_raw_b]: Device or resource busy",
    "E Failed to create device preloader_raw_b."};

// Both names taken: the lines of the second storage type.
const std::vector<std::string> kBothTaken = {
    std::string("E DM_DEV_CREATE failed for [preloader_raw_a]: ") +
        "Device or resource busy",
    "E Failed to create device preloader_raw_a.",
    std::string("E DM_DEV_CREATE failed for [preloader_raw_b]: ") +
        "Device or resource busy",
    "E Failed to create device preloader_raw_b."};

std::vector<std::string> Join(std::vector<std::string> a,
                              const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The lines of four candidates met once, no fault.
const std::vector<std::string> kFourOnce =
    Join({"I Created DM device preloader_raw_a at /dev/block/dm-0.",
          "I Created DM device preloader_raw_b at /dev/block/dm-1."},
         kBothTaken);

// The first candidate's own lines, then kRestAfterFirstFailed.
std::vector<std::string> FirstFails(const std::vector<std::string>& first) {
  return Join(first, kRestAfterFirstFailed);
}

const Row kRows[] = {
    {"EmmcOnlyMapsFromSectorFour",
     {{"/dev/block/mmcblk0boot0", "EMMC", k4M},
      {"/dev/block/mmcblk0boot1", "COMB", k4M}},
     {},
     {"E Device /dev/block/sda not found.",
      "E Device /dev/block/sdb not found.",
      "I Created DM device preloader_raw_a at /dev/block/dm-0.",
      "I Created DM device preloader_raw_b at /dev/block/dm-1."},
     {"preloader_raw_a dm-0: 0 8188 linear /dev/block/mmcblk0boot0 4",
      "preloader_raw_b dm-1: 0 8184 linear /dev/block/mmcblk0boot1 8"}},
    // The second storage type meets taken names; a second run leaves the
    // first one's devices alone.
    {"SecondTypeAndSecondRunLeaveDevicesAlone",
     kFour,
     {},
     Join(kFourOnce, Join(kBothTaken, kBothTaken)),
     {kA, kB},
     true,
     2},
    {"MissingControlNodeFailsEveryRecognisedCandidate",
     {{"/dev/block/sda", kUfs, k4M}, {"/dev/block/mmcblk0boot1", "EMMC", k4M}},
     {},
     {"E Failed to open device-mapper: No such file or directory",
      "E DM_DEV_CREATE failed for [preloader_raw_a]: Bad file descriptor",
      "E Failed to create device preloader_raw_a.",
      "E Device /dev/block/sdb not found.",
      "E Device /dev/block/mmcblk0boot0 not found.",
      "E DM_DEV_CREATE failed for [preloader_raw_b]: Bad file descriptor",
      "E Failed to create device preloader_raw_b."},
     {},
     false},
    // Without a control node, asking for the handle would log its failure.
    {"NothingRecognisedNeverOpensTheControlNode",
     {{"/dev/block/sda", std::string(4, '\0'), k4M},
      {"/dev/block/sdb", "UFS", 3},
      {"/dev/block/mmcblk0boot0", "EMMC", 4 * 512ull}},
     {},
     {"E Unknown header  for /dev/block/sda.",
      "E Failed to read /dev/block/sdb: read 3 of 4 header bytes.",
      "E Device /dev/block/mmcblk0boot0 is too small.",
      "E Device /dev/block/mmcblk0boot1 not found."},
     {},
     false},
    {"FailedReadAndSeekCarryTheirErrno",
     {{"/dev/block/sda", kUfs, k4M},
      {"/dev/block/sdb", "COMB", k4M},
      {"/dev/block/mmcblk0boot0", "EMMC", k4M}},
     {"read:/dev/block/sda=EIO", "lseek:/dev/block/sdb=ESPIPE"},
     {"E Failed to read /dev/block/sda: Input/output error.",
      "E Failed to seek /dev/block/sdb: Illegal seek.",
      "I Created DM device preloader_raw_a at /dev/block/dm-0.",
      "E Device /dev/block/mmcblk0boot1 not found."},
     {"preloader_raw_a dm-0: 0 8188 linear /dev/block/mmcblk0boot0 4"}},
    {"UnopenableDiskCarriesItsErrno",
     {{"/dev/block/sda", "", kSocket}, {"/dev/block/sdb", "COMB", k4M}},
     {},
     {"E Failed to open /dev/block/sda: No such device or address.",
      "I Created DM device preloader_raw_b at /dev/block/dm-0.",
      "E Device /dev/block/mmcblk0boot0 not found.",
      "E Device /dev/block/mmcblk0boot1 not found."},
     {"preloader_raw_b dm-0: 0 8184 linear /dev/block/sdb 8"}},
    {"ShortAndUnknownHeaders",
     {{"/dev/block/sda", "", 0},
      {"/dev/block/sdb", "UF", 2},
      {"/dev/block/mmcblk0boot0", "\x1b\x07OK", 4096},
      {"/dev/block/mmcblk0boot1", "COMx", 4096}},
     {},
     {"E Failed to read /dev/block/sda: read 0 of 4 header bytes.",
      "E Failed to read /dev/block/sdb: read 2 of 4 header bytes.",
      "E Unknown header \\x1b\\x07OK for /dev/block/mmcblk0boot0.",
      "E Unknown header COMx for /dev/block/mmcblk0boot1."},
     {},
     false},
    // Any header on any candidate; a partial last sector is not mapped; a
    // length beyond 32 bits of bytes.
    {"SmallestAndLargestRegions",
     {{"/dev/block/sda", "EMMC", 4 * 512 + 511},
      {"/dev/block/sdb", "COMB", 9 * 512 + 511},
      {"/dev/block/mmcblk0boot0", "UFSB", 3ull << 30}},
     {},
     {"E Device /dev/block/sda is too small.",
      "I Created DM device preloader_raw_b at /dev/block/dm-0.",
      "I Created DM device preloader_raw_a at /dev/block/dm-1.",
      "E Device /dev/block/mmcblk0boot1 not found."},
     {"preloader_raw_b dm-0: 0 1 linear /dev/block/sdb 8",
      "preloader_raw_a dm-1: 0 6291448 linear /dev/block/mmcblk0boot0 8"}},
    // A creation that fails at registration or load: the library's lines
    // are CreateTest.FailureAtEachStage's rows; the walk goes on as below.
    {"CleanupRemovalWithoutUevent",
     kFour,
     {"DM_DEV_STATUS=ENXIO@2", "DM_DEV_REMOVE.flags=0", "devmgr=0"},
     FirstFails({"W DM_DEV_STATUS failed for preloader_raw_a: No such device "
                 "or address",
                 "E Didn't generate uevent for [preloader_raw_a] removal"}),
     kAfterFirstFailed},
    {"CleanupRemovalBusyOnce",
     kFour,
     {"DM_TABLE_LOAD=EINVAL@1,DM_DEV_REMOVE=EBUSY@1"},
     FirstFails({"E DM_TABLE_LOAD failed: Invalid argument",
                 "W DM_DEV_REMOVE failed for [preloader_raw_a], retrying: "
                 "Device or resource busy"}),
     kAfterFirstFailed},
};

std::vector<std::string> UuidsLeft() {
  std::vector<std::string> uuids;
  for (const fakedm::Device& d : fakedm::Devices()) uuids.push_back(d.uuid);
  return uuids;
}

// A fresh handle that also keeps the time-out of each creation.
class RecordingDeviceMapper : public TestDeviceMapper {
 public:
  using TestDeviceMapper::CreateDevice;
  bool CreateDevice(const std::string& name, const android::dm::DmTable& table,
                    std::string* path,
                    const std::chrono::milliseconds& timeout) override {
    timeouts.push_back(timeout.count());
    return TestDeviceMapper::CreateDevice(name, table, path, timeout);
  }
  std::vector<int64_t> timeouts;
};

// Walks the program's candidates; the time-outs of its creations.
std::vector<int64_t> Walk() {
  std::unique_ptr<RecordingDeviceMapper> dm;
  MapBootRegions({kBootRegionCandidates.begin(), kBootRegionCandidates.end()},
                 [&dm]() -> android::dm::IDeviceMapper& {
                   if (!dm) dm = std::make_unique<RecordingDeviceMapper>();
                   return *dm;
                 });
  return dm ? dm->timeouts : std::vector<int64_t>();
}

// Leaves a socket file at |path|.
void BindSocket(const std::string& path) {
  std::filesystem::create_directories(
      std::filesystem::path(path).parent_path());
  const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(addr.sun_path));
  memcpy(addr.sun_path, path.c_str(), path.size());
  EXPECT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(sock);
}

class Walks : public testing::TestWithParam<Row> {};

// The exact lines, the creations' time-out, the devices left (each with a
// uuid and one target), no descriptor left open, and for a second run the
// first run's devices kept.
TEST_P(Walks, GiveTheirLinesAndDevices) {
  const Row& row = GetParam();
  FakeSandbox sandbox("walk");
  ASSERT_TRUE(sandbox.ok());
  for (const Disk& d : row.disks) {
    if (d.size == kSocket) {
      ASSERT_NO_FATAL_FAILURE(BindSocket(sandbox.Inside(d.path)));
    } else {
      ASSERT_TRUE(sandbox.AddDisk(d.path, d.header, d.size)) << d.path;
    }
  }
  if (!row.control_node) {
    ASSERT_TRUE(sandbox.RemoveControlNode());
  }
  quillmap_testing::SetFakeEnvironment(row.env);
  std::vector<std::string> first_uuids;
  contract::StderrCapture capture;
  for (int run = 0; run < row.runs; ++run) {
    EXPECT_THAT(Walk(), Each(kCreateTimeout.count()));
    if (run == 0) first_uuids = UuidsLeft();
  }
  EXPECT_EQ(contract::LogLines(capture.Stop()), row.lines);
  // A second run leaves the first run's devices as they were.
  if (row.runs > 1) {
    EXPECT_EQ(UuidsLeft(), first_uuids);
  }
  EXPECT_EQ(DevicesLeft(), row.devices);
  EXPECT_EQ(fakedm::OpenDescriptors(), 0);
}

INSTANTIATE_TEST_SUITE_P(Quillmap, Walks, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) {
                           return std::string(info.param.name);
                         });

// The unmodified binary under LD_PRELOAD (and valgrind's memcheck where the
// tree has it): all four candidates, two devices and two taken names, each
// line on stderr and in the kernel log, exit status 0, no memory error or
// leak, every descriptor closed.
TEST(RealProgram, RunsCleanUnderTheFake) {
  FakeSandbox sandbox("program");
  ASSERT_TRUE(sandbox.ok());
  for (const Disk& d : kFour) {
    ASSERT_TRUE(sandbox.AddDisk(d.path, d.header, d.size)) << d.path;
  }
  std::vector<std::string> lines;
#ifdef QUILLMAP_VALGRIND
  const std::vector<std::string> memcheck = {
      QUILLMAP_VALGRIND,
      "--quiet",
      "--error-exitcode=99",
      "--leak-check=full",
      "--show-leak-kinds=definite,indirect,possible",
      "--errors-for-leak-kinds=definite,indirect,possible"};
#else
  const std::vector<std::string> memcheck;
#endif
  EXPECT_EQ(sandbox.Run(QUILLMAP_PROGRAM, FAKEDM_LIBRARY, &lines, memcheck), 0);
  EXPECT_EQ(lines, kFourOnce);
  std::ifstream kmsg(sandbox.Inside("/dev/kmsg"));
  EXPECT_EQ(contract::LogLines({std::istreambuf_iterator<char>(kmsg), {}}),
            kFourOnce);
  EXPECT_EQ(DevicesLeft(), (std::vector<std::string>{kA, kB}));
  std::ifstream open_fds(sandbox.root() + "/.fakedm/open_fds");
  int count = -1;
  open_fds >> count;
  EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace quillmap
