// quillmap linked against the platform's real base and log libraries, and
// the same sources linked against our stand-in, each run under the fake
// device-mapper kernel in the same situations: both must write the same
// message texts in the same order (each logger's own prefix dropped), end
// the same way, write the same records to the kernel log, send the kernel
// the same requests and leave the same devices.
//
// Not here: the recovery case. It reads system properties, which the real
// base library on a host keeps inside the process (nothing outside can set
// them), so it is checked on the stand-in build only.
#include <fakedm/fakedm.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "fake_sandbox.h"
#include "test_tables.h"

namespace {

using quillmap_testing::kUfs;

struct Situation {
  const char* name;
  std::vector<std::pair<const char*, std::string>> disks;  // path, header
  std::vector<std::string> env;
};

const Situation kSituations[] = {
    {"TwoUfsUnits", {{"/dev/block/sda", kUfs}, {"/dev/block/sdb", "UFSB"}}, {}},
    {"EmmcOnly",
     {{"/dev/block/mmcblk0boot0", "EMMC"}, {"/dev/block/mmcblk0boot1", "EMMC"}},
     {}},
    {"NoCandidate", {}, {}},
    // The first load fails and its device is removed; the second succeeds.
    {"FailedTableLoad",
     {{"/dev/block/sda", kUfs}, {"/dev/block/mmcblk0boot0", "EMMC"}},
     {"DM_TABLE_LOAD=EINVAL@1"}},
    // A broken internal invariant: a fatal record, then the process ends.
    {"FailedCheck",
     {{"/dev/block/sda", kUfs}},
     {"DM_DEV_CREATE.target_count=1"}},
};

// What a run left in the kernel, as comparable text: each request, and each
// device with its live table (its UUID only by shape: each run makes its
// own).
std::vector<std::string> KernelAfterRun() {
  std::vector<std::string> kernel = quillmap_testing::RequestLog();
  for (const std::string& device : quillmap_testing::DevicesLeft())
    kernel.push_back(device);
  return kernel;
}

void PrintTo(const Situation& situation, std::ostream* out) {
  *out << situation.name;
}

// How a program's run in a fresh sandbox holding the situation's disks
// ended: its status, its lines and what it left in the kernel.
struct Outcome {
  int status = -1;
  std::vector<std::string> lines;
  std::vector<std::string> kernel;
};

class PlatformLibs : public testing::TestWithParam<Situation> {
 protected:
  Outcome RunIn(const char* program) {
    quillmap_testing::FakeSandbox sandbox("platform");
    EXPECT_TRUE(sandbox.ok());
    for (const auto& [path, header] : GetParam().disks) {
      EXPECT_TRUE(sandbox.AddDisk(path, header, 4 << 20)) << path;
    }
    quillmap_testing::SetFakeEnvironment(GetParam().env);
    Outcome run;
    run.status = sandbox.Run(program, FAKEDM_LIBRARY, &run.lines);
    run.kernel = KernelAfterRun();
    std::ifstream kmsg(sandbox.Inside("/dev/kmsg"));
    for (std::string record; std::getline(kmsg, record);)
      run.kernel.push_back("kmsg " + record);
    return run;
  }
};

TEST_P(PlatformLibs, SameTextsAndDevicesAsTheStandIn) {
  const Outcome real = RunIn(QUILLMAP_PROGRAM);
  const Outcome standin = RunIn(QUILLMAP_STANDIN_PROGRAM);
  EXPECT_EQ(real.status, standin.status);
  EXPECT_FALSE(real.lines.empty());
  EXPECT_EQ(real.lines, standin.lines);
  EXPECT_EQ(real.kernel, standin.kernel);
  // Every line has its record in the kernel log.
  EXPECT_EQ(std::count_if(real.kernel.begin(), real.kernel.end(),
                          [](const std::string& entry) {
                            return entry.rfind("kmsg ", 0) == 0;
                          }),
            static_cast<std::ptrdiff_t>(real.lines.size()));
}

INSTANTIATE_TEST_SUITE_P(Situations, PlatformLibs,
                         testing::ValuesIn(kSituations),
                         [](const auto& info) { return info.param.name; });

}  // namespace
