// The contract suite's fixture: the shared raw client (DmClient) with short
// helpers for creation and loads, bounded waits for the device manager, and
// cleanup. Every device a test makes through Create() is removed after the
// test, pass or fail, and its block node is waited away so that the next test
// starts clean. The library's real-kernel tests share it.
#pragma once

#include <android-base/unique_fd.h>
#include <gtest/gtest.h>
#include <linux/dm-ioctl.h>

#include <set>
#include <string>
#include <vector>

#include "dm_request.h"
#include "guest_disks.h"
#include "test_tables.h"

namespace contract {

using android::base::unique_fd;
using quillmap_testing::Linear;

inline constexpr uint32_t kStructSize = sizeof(struct dm_ioctl);

// The backing disks with their headers (the "contract" group of
// cmake/QuillmapGuest.cmake): the fake makes them in its sandbox before the
// first test, the guest runner attaches them.
using Disk = quillmap_testing::GuestDisk;
inline constexpr const auto& kDisks = quillmap_testing::kContractDisks;

// What differs between the two kernels the suite runs against: each suite
// binary links one of contract_env_fake.cpp (libfakedm in a sandbox, on the
// host) and contract_env_real.cpp (a real device-mapper, in a guest).
bool IsRealKernel();
// "MAJ:MIN" of the block device at |path| as the kernel names it in table
// lines, "" when there is none.
std::string DeviceNumberOf(const std::string& path);
// Where the test process can inspect |path| (an absolute device path such as
// "/dev/block/dm-0") with calls the fake does not redirect (lstat, readlink,
// realpath): the sandbox's copy on the host, the path itself in the guest.
std::string InspectPath(const std::string& path);

// The DM_TABLE_LOAD records of consecutive linear targets, encoded by the
// library.
inline std::string LinearRecords(const std::vector<Linear>& targets) {
  return quillmap_testing::LinearTable(targets).Serialize();
}

// Sectors of disk |path| (from kDisks).
uint64_t DiskSectors(const std::string& path);

// The interface version the kernel answers DM_VERSION with ({major, minor,
// patch}); what depends on the kernel's line (6.1 says 4.47.0, 6.12 4.48.0)
// is derived from it rather than pinned.
struct Version {
  uint32_t major, minor, patch;
};
Version KernelVersion();

class DmContract : public testing::Test, protected DmClient {
 protected:
  // The client's, not GoogleTest's private Test::Run.
  using DmClient::Run;

  void SetUp() override;
  void TearDown() override;

  // A name, or uuid, no other device of this run has.
  std::string NewName(const char* prefix = "qmct-");
  std::string NewUuid() { return NewName("qmct-uuid-"); }

  Result Create(const std::string& name, const std::string& uuid = "");
  // DM_DEV_CREATE with a request the test made.
  Result CreateWith(DmRequest req);
  // Makes the fixture remove |name| after the test (a device made elsewhere).
  void Adopt(const std::string& name) { made_.push_back(name); }
  Result Load(const std::string& name, const std::string& records,
              uint32_t count, uint32_t flags = 0);
  Result LoadLinear(const std::string& name, const std::vector<Linear>& targets,
                    uint32_t flags = 0);

  // Create + load + resume; the device's minor, or -1 after a test failure.
  int MakeLinear(const std::string& name, const std::string& uuid,
                 const std::vector<Linear>& targets);
  uint32_t MinorOf(const std::string& name);

  // Polls (bounded) until |path| exists (|present|) or is gone; true on time.
  bool WaitFor(const std::string& path, bool present);

 private:
  std::vector<std::string> made_;
  std::set<uint32_t> minors_;
};

}  // namespace contract
