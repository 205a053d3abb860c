// The boot-region walk's parts: header classification and the mapped
// length; and the walk over stand-in block devices (temporary files) with a
// mock handle where the fake kernel cannot reach: the creation's time-out
// and table records, and open and seek errors of odd files. The walk over
// the fake kernel, candidates and failures, is walk_test's table.
#include "boot_region.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/dm-ioctl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "temp_dir.h"

namespace quillmap {
namespace {

using android::dm::DeviceState;
using android::dm::DmTable;
using android::dm::IDeviceMapper;
using testing::_;

Header H(const char* bytes) {
  Header h;
  memcpy(h.data(), bytes, 4);
  return h;
}

TEST(ReservedSectors, ClassifiesByExactBytes) {
  const struct {
    Header header;
    std::optional<uint32_t> reserved;
  } cases[] = {
      {H("UFS\0"), 8},
      {H("UFSx"), 8},
      {H("UFS9"), 8},
      {H("UFS\xff"), 8},
      {H("COMB"), 8},
      {H("EMMC"), 4},
      {H("COMb"), std::nullopt},
      {H("COM\0"), std::nullopt},
      {H("comb"), std::nullopt},
      {H("emmc"), std::nullopt},
      {H("ufs\0"), std::nullopt},
      {H("UF\0S"), std::nullopt},
      {H("EMMD"), std::nullopt},
      {H("\0\0\0\0"), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(HeaderText(c.header));
    EXPECT_EQ(ReservedSectors(c.header), c.reserved);
  }
}

TEST(HeaderText, EndsAtZeroAndEscapesUnprintableBytes) {
  EXPECT_EQ(HeaderText(H("\0\0\0\0")), "");
  EXPECT_EQ(HeaderText(H("AB\0C")), "AB");
  EXPECT_EQ(HeaderText(H("abcd")), "abcd");
  EXPECT_EQ(HeaderText(H("\x1b[2J")), "\\x1b[2J");
  EXPECT_EQ(HeaderText(H("A\nB\xff")), "A\\x0aB\\xff");
  EXPECT_EQ(HeaderText(H("\\x41")), "\\x5cx41");
  EXPECT_EQ(HeaderText(H("\x7f\x80 ~")), "\\x7f\\x80 ~");
}

TEST(MappedSectors, WholeSectorsAfterTheReservedOnes) {
  const struct {
    uint64_t size;
    uint32_t reserved;
    std::optional<uint64_t> sectors;
  } cases[] = {
      {4194304, 4, 8188},
      {4194304, 8, 8184},
      {4194304 + 511, 8, 8184},  // partial last sector not mapped
      {4194304 - 1, 8, 8183},
      {9 * 512ull, 8, 1},
      {8 * 512ull, 8, std::nullopt},  // nothing after the reserved area
      {8 * 512ull + 511, 8, std::nullopt},
      {100, 4, std::nullopt},
      {0, 4, std::nullopt},
      {3ull << 30, 8, (3ull << 30) / 512 - 8},  // beyond 32 bits
      {1ull << 42, 8, (1ull << 33) - 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(MappedSectors(c.size, c.reserved), c.sectors);
  }
}

class MockDeviceMapper : public IDeviceMapper {
 public:
  MOCK_METHOD(bool, CreateDevice,
              (const std::string&, const DmTable&, std::string*,
               const std::chrono::milliseconds&),
              (override));
  MOCK_METHOD(DeviceState, GetState, (const std::string&), (const, override));
  MOCK_METHOD(bool, LoadTableAndActivate, (const std::string&, const DmTable&),
              (override));
  MOCK_METHOD(bool, LoadTable, (const std::string&, const DmTable&),
              (override));
  MOCK_METHOD(bool, GetTableInfo,
              (const std::string&, std::vector<TargetInfo>*), (override));
  MOCK_METHOD(bool, GetTableStatus,
              (const std::string&, std::vector<TargetInfo>*), (override));
  MOCK_METHOD(bool, GetDmDevicePathByName, (const std::string&, std::string*),
              (override));
  MOCK_METHOD(bool, GetDeviceString, (const std::string&, std::string*),
              (override));
  MOCK_METHOD(bool, DeleteDeviceIfExists, (const std::string&), (override));
};

// One created device as the walk handed it over.
struct Request {
  std::string name;
  std::string records;
  long timeout_ms;
};

class WalkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    ON_CALL(dm_, CreateDevice(_, _, _, _))
        .WillByDefault([this](const std::string& name, const DmTable& table,
                              std::string* path,
                              const std::chrono::milliseconds& timeout) {
          requests_.push_back({name, table.Serialize(), long(timeout.count())});
          *path = "/dev/block/dm-" + std::to_string(requests_.size() - 1);
          return true;
        });
  }

  std::string Disk(const std::string& name, const std::string& header,
                   uint64_t size) {
    std::string path = tmp_.File(name, header, size);
    EXPECT_FALSE(path.empty()) << name;
    return path;
  }

  // Runs the walk and returns its log.
  std::string Walk(const std::vector<BootRegionCandidate>& candidates) {
    testing::internal::CaptureStderr();
    MapBootRegions(candidates, [this]() -> IDeviceMapper& { return dm_; });
    return testing::internal::GetCapturedStderr();
  }

  quillmap_testing::TempDir tmp_{"boot_region_test"};
  const std::string& dir_ = tmp_.path();
  testing::NiceMock<MockDeviceMapper> dm_;
  std::vector<Request> requests_;
};

TEST_F(WalkTest, UfsOnlyMapsBothUnitsThenReportsEmmcMissing) {
  const std::string sda = Disk("sda", std::string("UFS\0", 4), 4194304);
  const std::string sdb = Disk("sdb", "UFSz", 4194304);
  const std::string boot0 = dir_ + "/mmcblk0boot0";
  const std::string boot1 = dir_ + "/mmcblk0boot1";
  const std::string log = Walk({{"preloader_raw_a", sda.c_str()},
                                {"preloader_raw_b", sdb.c_str()},
                                {"preloader_raw_a", boot0.c_str()},
                                {"preloader_raw_b", boot1.c_str()}});
  EXPECT_EQ(log,
            "quillmap I Created DM device preloader_raw_a at /dev/block/dm-0.\n"
            "quillmap I Created DM device preloader_raw_b at /dev/block/dm-1.\n"
            "quillmap E Device " +
                boot0 +
                " not found.\n"
                "quillmap E Device " +
                boot1 + " not found.\n");
  ASSERT_EQ(requests_.size(), 2u);
  EXPECT_EQ(requests_[0].name, "preloader_raw_a");
  EXPECT_EQ(requests_[0].timeout_ms, 500);
  android::dm::DmTargetLinear expected(0, 8184, sda, 8);
  EXPECT_EQ(requests_[0].records, expected.Serialize());
  EXPECT_EQ(requests_[1].records,
            android::dm::DmTargetLinear(0, 8184, sdb, 8).Serialize());
}

TEST_F(WalkTest, OpenAndSeekFailuresCarryTheSystemError) {
  // A bound socket exists, but opening it fails with ENXIO, even for root.
  const std::string socket_path = dir_ + "/socket";
  int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof(addr.sun_path));
  strcpy(addr.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  // A FIFO opens (a writer is held here so the open does not block) but
  // cannot seek.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);

  const std::string log = Walk({{"preloader_raw_a", socket_path.c_str()},
                                {"preloader_raw_b", fifo.c_str()}});
  EXPECT_EQ(log, "quillmap E Failed to open " + socket_path +
                     ": No such device or address.\n"
                     "quillmap E Failed to seek " +
                     fifo + ": Illegal seek.\n");
  close(writer);
  close(sock);
}

}  // namespace
}  // namespace quillmap
