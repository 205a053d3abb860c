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
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "fake_sandbox.h"

namespace {

using quillmap_testing::kUuid;
using quillmap_testing::Outcome;
using quillmap_testing::QuillmapUnderFake;

struct Situation {
  const char* name;
  std::vector<std::pair<const char*, std::string>> disks;  // path, header
  std::vector<std::string> env;
};

const std::string kUfs("UFS\0", 4);

const Situation kSituations[] = {
    {"TwoUfsUnits", {{"dev/block/sda", kUfs}, {"dev/block/sdb", "UFSB"}}, {}},
    {"EmmcOnly",
     {{"dev/block/mmcblk0boot0", "EMMC"}, {"dev/block/mmcblk0boot1", "EMMC"}},
     {}},
    {"NoCandidate", {}, {}},
    // The first load fails and its device is removed; the second succeeds.
    {"FailedTableLoad",
     {{"dev/block/sda", kUfs}, {"dev/block/mmcblk0boot0", "EMMC"}},
     {"FAKEDM_FAIL=DM_TABLE_LOAD=EINVAL@1"}},
    // A broken internal invariant: a fatal record, then the process ends.
    {"FailedCheck",
     {{"dev/block/sda", kUfs}},
     {"FAKEDM_CREATE_TARGET_COUNT=1"}},
};

// What a run left in the kernel, as comparable text: each request, and each
// device with its live table (its UUID only by shape: each run makes its
// own).
std::vector<std::string> KernelAfterRun() {
  std::vector<std::string> kernel;
  for (const fakedm::Request& r : fakedm::Requests()) {
    kernel.push_back(r.request + " " + r.name + " " + std::to_string(r.error));
  }
  for (const fakedm::Device& d : fakedm::Devices()) {
    std::string device = d.name + " minor " + std::to_string(d.minor) +
                         (std::regex_match(d.uuid, std::regex(kUuid))
                              ? " <uuid>"
                              : " uuid '" + d.uuid + "'");
    for (const fakedm::Target& t : d.active) {
      device += " | " + std::to_string(t.start) + " " +
                std::to_string(t.length) + " " + t.type + " " + t.params;
    }
    kernel.push_back(device);
  }
  return kernel;
}

void PrintTo(const Situation& situation, std::ostream* out) {
  *out << situation.name;
}

class PlatformLibs : public QuillmapUnderFake,
                     public testing::WithParamInterface<Situation> {
 protected:
  // Runs |program| in a sandbox holding the situation's disks.
  std::pair<Outcome, std::vector<std::string>> RunIn(const char* program) {
    for (const auto& [path, header] : GetParam().disks) {
      Disk(path, header, 4 << 20);
    }
    Disk("dev/kmsg", "", 0);
    Outcome run = Quillmap(GetParam().env, program);
    std::vector<std::string> kernel = KernelAfterRun();
    std::ifstream kmsg(root_ + "/dev/kmsg");
    for (std::string record; std::getline(kmsg, record);)
      kernel.push_back("kmsg " + record);
    return {run, kernel};
  }
};

TEST_P(PlatformLibs, SameTextsAndDevicesAsTheStandIn) {
  const auto [real, real_kernel] = RunIn(QUILLMAP_PROGRAM);
  // A fresh sandbox for the second program: the same folder, emptied.
  TearDown();
  std::filesystem::remove_all(sandbox_.path());
  ASSERT_TRUE(std::filesystem::create_directory(sandbox_.path()));
  SetUp();
  const auto [standin, standin_kernel] = RunIn(QUILLMAP_STANDIN_PROGRAM);

  EXPECT_EQ(real.status, standin.status);
  EXPECT_FALSE(real.lines.empty());
  EXPECT_EQ(real.lines, standin.lines);
  EXPECT_EQ(real_kernel, standin_kernel);
  // Every line has its record in the kernel log.
  EXPECT_EQ(std::count_if(real_kernel.begin(), real_kernel.end(),
                          [](const std::string& entry) {
                            return entry.rfind("kmsg ", 0) == 0;
                          }),
            static_cast<std::ptrdiff_t>(real.lines.size()));
}

INSTANTIATE_TEST_SUITE_P(Situations, PlatformLibs,
                         testing::ValuesIn(kSituations),
                         [](const auto& info) { return info.param.name; });

}  // namespace
