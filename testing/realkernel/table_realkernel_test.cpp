// The control handle's table queries against the real Linux device-mapper:
// what GetTableInfo and GetTableStatus report of linear tables, and that a
// crypt key never leaves the kernel, neither in a reply nor in a log line
// (see rk_fixture.h).
#include <android-base/logging.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "libdm/dm_target.h"
#include "rk_fixture.h"

namespace android {
namespace dm {
namespace realkernel {
namespace {

using contract::StderrCapture;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old != nullptr) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A dm-crypt target over a whole device with a plain hex key.
class CryptTarget final : public DmTarget {
 public:
  CryptTarget(uint64_t length, const std::string& cipher,
              const std::string& key, const std::string& device)
      : DmTarget(0, length), cipher_(cipher), key_(key), device_(device) {}
  std::string name() const override { return "crypt"; }
  std::string GetParameterString() const override {
    return cipher_ + " " + key_ + " 0 " + device_ + " 0";
  }

 private:
  const std::string cipher_;
  const std::string key_;
  const std::string device_;
};

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  std::string field;
  while (in >> field) fields.push_back(field);
  return fields;
}

std::string Upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST_F(WithDeviceManager, TableQueriesReportWhatTheKernelHolds) {
  struct stat backing;
  ASSERT_EQ(stat(kLinearDisk, &backing), 0);
  const std::string disk = DevText(backing.st_rdev);

  struct Piece {
    uint64_t start, length, sector;
  };
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
  };
  const Case cases[] = {
      {"one target", {{0, kDiskSectors - 8, 8}}},
      {"three targets", {{0, 100, 8}, {100, 1, 4000}, {101, 2000, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name =
        Name(std::string("table_") + std::to_string(c.pieces.size()));
    DmTable table;
    for (const Piece& p : c.pieces) {
      ASSERT_TRUE(table.AddTarget(std::make_unique<DmTargetLinear>(
          p.start, p.length, kLinearDisk, p.sector)));
    }
    ASSERT_TRUE(dm_.CreateEmptyDevice(name));
    ASSERT_TRUE(dm_.LoadTableAndActivate(name, table));

    std::vector<IDeviceMapper::TargetInfo> info;
    ASSERT_TRUE(dm_.GetTableInfo(name, &info));
    std::vector<IDeviceMapper::TargetInfo> status;
    ASSERT_TRUE(dm_.GetTableStatus(name, &status));
    ASSERT_EQ(info.size(), c.pieces.size());
    ASSERT_EQ(status.size(), c.pieces.size());
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      SCOPED_TRACE("target " + std::to_string(i));
      EXPECT_EQ(DeviceMapper::GetTargetType(info[i].spec), "linear");
      EXPECT_EQ(info[i].spec.sector_start, c.pieces[i].start);
      EXPECT_EQ(info[i].spec.length, c.pieces[i].length);
      EXPECT_EQ(info[i].data, disk + " " + std::to_string(c.pieces[i].sector));
      EXPECT_EQ(DeviceMapper::GetTargetType(status[i].spec), "linear");
      EXPECT_EQ(status[i].spec.sector_start, c.pieces[i].start);
      EXPECT_EQ(status[i].spec.length, c.pieces[i].length);
      EXPECT_EQ(status[i].data, "");
    }
    ASSERT_TRUE(dm_.DeleteDevice(name, milliseconds(0)));
  }
}

TEST_F(WithDeviceManager, CryptKeysNeverLeaveTheKernel) {
  struct stat backing;
  ASSERT_EQ(stat(kCryptDisk, &backing), 0);
  struct Case {
    const char* cipher;
    const char* key;
  };
  const Case cases[] = {
      {"aes-cbc-essiv:sha256",
       "5f4dcc3b5aa765d61d8327deb882cf99a1b2c3d4e5f60718293a4b5c6d7e8f90"},
      {"aes-xts-plain64",
       "00112233445566778899aabbccddeeffffeeddccbbaa99887766554433221100"
       "0f1e2d3c4b5a69788796a5b4c3d2e1f0f0e1d2c3b4a5968778695a4b3c2d1e0f"},
  };
  ScopedEnv verbose("ANDROID_LOG_TAGS", "*:v");
  ASSERT_TRUE(android::base::ShouldLog(android::base::VERBOSE, nullptr));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cipher);
    const std::string name =
        Name(std::string("crypt_") + (strstr(c.cipher, "xts") ? "xts" : "cbc"));
    DmTable table;
    ASSERT_TRUE(table.AddTarget(std::make_unique<CryptTarget>(
        kDiskSectors, c.cipher, c.key, kCryptDisk)));
    DmTable broken;
    ASSERT_TRUE(broken.AddTarget(std::make_unique<CryptTarget>(
        kDiskSectors, c.cipher, c.key, "/dev/block/rk_no_such_disk")));

    std::vector<IDeviceMapper::TargetInfo> info;
    std::vector<IDeviceMapper::TargetInfo> status;
    StderrCapture capture;
    ASSERT_TRUE(capture.ok());
    const bool made =
        dm_.CreateEmptyDevice(name) && dm_.LoadTableAndActivate(name, table);
    const bool got_info = dm_.GetTableInfo(name, &info);
    const bool got_status = dm_.GetTableStatus(name, &status);
    // A refused table is logged: the key must not be in that line either.
    const bool broken_loaded = dm_.LoadTable(name, broken);
    const std::string log = capture.Stop();

    ASSERT_TRUE(made) << log;
    ASSERT_TRUE(got_info) << log;
    ASSERT_TRUE(got_status) << log;
    EXPECT_FALSE(broken_loaded);
    EXPECT_NE(log.find("DM_TABLE_LOAD failed"), std::string::npos) << log;

    // The kernel holds the real key ...
    const std::vector<StatusRecord> raw =
        control_.Table(name, DM_STATUS_TABLE_FLAG);
    ASSERT_EQ(raw.size(), 1u);
    const std::vector<std::string> kernel_fields = Fields(raw[0].text);
    ASSERT_GE(kernel_fields.size(), 5u) << raw[0].text;
    EXPECT_EQ(kernel_fields[1], c.key);

    // ... and the library hands out its line with only the key replaced.
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(DeviceMapper::GetTargetType(info[0].spec), "crypt");
    std::vector<std::string> expected = kernel_fields;
    expected[1] = "redacted";
    EXPECT_EQ(Fields(info[0].data), expected);
    EXPECT_EQ(kernel_fields[3], DevText(backing.st_rdev));

    for (const std::string& key : {std::string(c.key), Upper(c.key)}) {
      EXPECT_EQ(log.find(key), std::string::npos) << "key in the log";
      for (const auto& entry : info) {
        EXPECT_EQ(entry.data.find(key), std::string::npos) << entry.data;
      }
      for (const auto& entry : status) {
        EXPECT_EQ(entry.data.find(key), std::string::npos) << entry.data;
      }
    }
    ASSERT_TRUE(dm_.DeleteDevice(name, milliseconds(0)));
  }
}

}  // namespace
}  // namespace realkernel
}  // namespace dm
}  // namespace android
