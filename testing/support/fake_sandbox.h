// The one sandbox of the fake device-mapper kernel: a private folder with the
// control node and the disks asked for, the fake's root in this process for
// the object's lifetime; the fake's faults (FAKEDM_FAULTS items, fakedm.h,
// which the linked fake and a program run here both read), and the real
// quillmap run in the sandbox under LD_PRELOAD.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "temp_dir.h"

namespace quillmap_testing {

// A UUID as the library makes them, for matching.
inline constexpr char kUuid[] =
    "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";

// The requests the fake kernel received, as "REQUEST name" or
// "REQUEST name ERRNO".
std::vector<std::string> RequestLog();
// The devices the fake kernel holds, in minor order, as
// "<name> dm-<minor>: <start> <length> <type> <params>" (the last four once
// per target of the live table); a uuid not of kUuid's shape follows the
// minor as " uuid '<uuid>'".
std::vector<std::string> DevicesLeft();

// Sets FAKEDM_FAULTS to |faults|, each "WHAT=VALUE[@N]" (or several of them
// joined by commas), and has the linked fake read it (its devices stay).
void SetFakeEnvironment(const std::vector<std::string>& faults);

// The first |size| bytes of the pattern on disk |name| (its /dev/block name):
// 32-bit little-endian words, word k being k * 2654435761 + the seed mod 2^32,
// the seed the sum of the name's bytes times 7919 plus its length. Each word
// differs from every other word of the disk, so every sector differs; the
// guests' disks hold the same pattern (testing/vm/run-guest.sh).
std::string DiskPattern(const std::string& name, uint64_t size);

class FakeSandbox {
 public:
  // An empty fake (no faults, a device manager) over a control node, an
  // empty kernel log (/dev/kmsg) and no disk.
  explicit FakeSandbox(const std::string& prefix = "fakedm");
  ~FakeSandbox();
  FakeSandbox(const FakeSandbox&) = delete;
  FakeSandbox& operator=(const FakeSandbox&) = delete;

  bool ok() const { return ok_; }
  const std::string& root() const { return dir_.path(); }
  // Where the test inspects |path| ("/dev/block/dm-0") with calls the fake
  // does not redirect.
  std::string Inside(const std::string& path) const;

  // A disk at |path| ("/dev/block/sda") of |size| bytes: |header| over
  // DiskPattern() (sparse after the first 4 MiB). False when it cannot be
  // written.
  bool AddDisk(const std::string& path, const std::string& header,
               uint64_t size) const;
  bool RemoveControlNode() const;

  // Runs |program| here under LD_PRELOAD of |fakedm_library| (behind
  // |launcher|, e.g. valgrind, when given); *lines gets its log lines as
  // LogLines() gives them. Returns RunCommand()'s status. The fake in this
  // process sees the kernel state the run left.
  int Run(const std::string& program, const std::string& fakedm_library,
          std::vector<std::string>* lines,
          const std::vector<std::string>& launcher = {}) const;

 private:
  TempDir dir_;
  bool ok_ = false;
};

}  // namespace quillmap_testing
