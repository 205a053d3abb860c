// The contract suite's fixture: the shared raw client (DmClient) with
// short helpers for creation and loads, bounded waits for the device manager,
// and cleanup. Every device a test makes through Create() is removed after
// the test, pass or fail, and its block node is waited away so the next test
// starts clean.
#pragma once

#include <android-base/unique_fd.h>
#include <gtest/gtest.h>
#include <linux/dm-ioctl.h>

#include <set>
#include <string>
#include <vector>

#include "dm_request.h"
#include "test_tables.h"

namespace contract {

using android::base::unique_fd;

using quillmap_testing::Linear;

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

  std::string NewName();
  std::string NewUuid();

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
