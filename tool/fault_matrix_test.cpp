// The fault matrix: the real quillmap under the fake kernel for every
// request a creation issues and every failure handed to it.
#include <errno.h>
#include <string.h>

#include <csignal>
#include <regex>
#include <set>

#include "fake_sandbox.h"

namespace {

using quillmap_testing::kUuid;
using quillmap_testing::Outcome;
using quillmap_testing::QuillmapUnderFake;
using ::testing::MatchesRegex;

// Every request a creation issues, and every failure the kernel or the
// device manager can hand it, against sandboxes of one, two and four
// candidates. The fault hits the first candidate's request; the expected log
// is derived from a model of the walk, which also tracks the names taken.

struct Fault {
  std::string name;
  std::vector<std::string> env;
  // The first candidate's lines for device |dev|, or empty when the fault
  // does not touch a creation (the candidate then behaves normally).
  std::vector<std::string> (*lines)(const std::string& dev,
                                    const std::string& err);
  std::string err;     // strerror text of the injected errno
  bool every = false;  // hits every candidate, not only the first
  bool aborts = false;
};

struct MatrixCase {
  Fault fault;
  int candidates;
};

std::string E(const std::string& text) { return "E " + text; }

std::vector<MatrixCase> MatrixCases() {
  using V = std::vector<std::string>;
  std::vector<Fault> faults;
  for (int e : {EINVAL, ENOMEM, EBUSY, ENXIO}) {
    faults.push_back(
        {"create_" + std::string(strerrorname_np(e)),
         {"FAKEDM_FAIL=DM_DEV_CREATE=" + std::string(strerrorname_np(e)) +
          "@1"},
         [](const std::string& d, const std::string& err) {
           return V{E("DM_DEV_CREATE failed for [" + d + "]: " + err)};
         },
         strerror(e)});
  }
  for (int e : {EINVAL, ENOMEM, ENXIO, EBUSY}) {
    faults.push_back({"load_" + std::string(strerrorname_np(e)),
                      {"FAKEDM_FAIL=DM_TABLE_LOAD=" +
                       std::string(strerrorname_np(e)) + "@1"},
                      [](const std::string&, const std::string& err) {
                        return V{E("DM_TABLE_LOAD failed: " + err)};
                      },
                      strerror(e)});
  }
  for (int e : {EINVAL, ENOMEM, ENXIO}) {
    faults.push_back({"resume_" + std::string(strerrorname_np(e)),
                      {"FAKEDM_FAIL=DM_DEV_SUSPEND=" +
                       std::string(strerrorname_np(e)) + "@1"},
                      [](const std::string&, const std::string& err) {
                        return V{E("DM_TABLE_SUSPEND resume failed: " + err)};
                      },
                      strerror(e)});
  }
  faults.push_back({"unique_path_status_ENXIO",
                    {"FAKEDM_FAIL=DM_DEV_STATUS=ENXIO@1"},
                    [](const std::string& d, const std::string& err) {
                      return V{
                          E("Failed to get device path: " + d + ": " + err)};
                    },
                    strerror(ENXIO)});
  faults.push_back({"node_path_status_ENXIO",
                    {"FAKEDM_FAIL=DM_DEV_STATUS=ENXIO@2"},
                    [](const std::string& d, const std::string& err) {
                      return V{"W DM_DEV_STATUS failed for " + d + ": " + err};
                    },
                    strerror(ENXIO)});
  // The link exists at once, so the cleanup's removal must bring a uevent.
  faults.push_back({"remove_without_uevent",
                    {"FAKEDM_FAIL=DM_DEV_STATUS=ENXIO@2",
                     "FAKEDM_REMOVE_NO_UEVENT=1", "FAKEDM_DEVMGR_DELAY_MS=0"},
                    [](const std::string& d, const std::string& err) {
                      return V{
                          "W DM_DEV_STATUS failed for " + d + ": " + err,
                          E("Didn't generate uevent for [" + d + "] removal")};
                    },
                    strerror(ENXIO)});
  // The cleanup's removal is busy once, then goes through.
  faults.push_back(
      {"cleanup_remove_busy_once",
       {"FAKEDM_FAIL=DM_TABLE_LOAD=EINVAL@1,DM_DEV_REMOVE=EBUSY@1"},
       [](const std::string& d, const std::string&) {
         return V{E("DM_TABLE_LOAD failed: Invalid argument"),
                  "W DM_DEV_REMOVE failed for [" + d +
                      "], retrying: Device or resource busy"};
       },
       ""});
  faults.push_back(
      {"control_open_EINTR_x3", {"FAKEDM_CONTROL_OPEN_EINTR=3"}, nullptr, ""});
  // Without a control node every creation meets a closed descriptor.
  const auto no_handle = [](const std::string& d, const std::string&) {
    return V{E("DM_DEV_CREATE failed for [" + d + "]: Bad file descriptor")};
  };
  faults.push_back({"control_open_EACCES",
                    {"FAKEDM_CONTROL_OPEN_FAIL=EACCES"},
                    no_handle,
                    strerror(EACCES),
                    true});
  faults.push_back({"control_node_missing",
                    {"QUILLMAP_TEST_NO_CONTROL_NODE=1"},
                    no_handle,
                    strerror(ENOENT),
                    true});
  faults.push_back(
      {"link_never_appears",
       {"FAKEDM_DEVMGR=0"},
       [](const std::string&, const std::string&) {
         return V{
             E("Failed waiting for device path: /dev/block/mapper/by-uuid/" +
               std::string(kUuid))};
       },
       "",
       true});
  faults.push_back(
      {"create_reply_with_targets",
       {"FAKEDM_CREATE_TARGET_COUNT=1"},
       [](const std::string& d, const std::string&) {
         return V{
             "F Check failed: io.target_count == 0 Unexpected targets "
             "for newly created \\[" +
             d + "\\] device"};
       },
       "",
       false,
       true});
  faults.push_back({"create_reply_with_openers",
                    {"FAKEDM_CREATE_OPEN_COUNT=1"},
                    [](const std::string& d, const std::string&) {
                      return V{
                          "F Check failed: io.open_count == 0 Unexpected opens "
                          "for newly created \\[" +
                          d + "\\] device"};
                    },
                    "",
                    false,
                    true});
  std::vector<MatrixCase> cases;
  for (const Fault& fault : faults) {
    for (int n : {1, 2, 4}) cases.push_back({fault, n});
  }
  return cases;
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const MatrixCase& c, std::ostream* os) {
  *os << c.fault.name << " with " << c.candidates << " candidates";
}

std::string Quote(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// A line of the model as a regular expression: lines of a fault that ends
// the process are written as expressions already; a link path gets the
// UUID pattern; anything else must match literally.
std::string Pattern(const std::string& line, bool is_expression) {
  if (is_expression) return line;
  const size_t uuid = line.find(kUuid);
  if (uuid == std::string::npos) return Quote(line);
  return Quote(line.substr(0, uuid)) + kUuid;
}

class FaultMatrix : public QuillmapUnderFake,
                    public testing::WithParamInterface<MatrixCase> {};

TEST_P(FaultMatrix, LeavesOnlyWhatItCreatedAndSaysWhatHappened) {
  const MatrixCase& c = GetParam();
  // Candidates: UFS, COMB, then two eMMC partitions that reuse the names.
  const char* kDisks[][3] = {{"sda", "UFS\0", "preloader_raw_a"},
                             {"sdb", "COMB", "preloader_raw_b"},
                             {"mmcblk0boot0", "EMMC", "preloader_raw_a"},
                             {"mmcblk0boot1", "EMMC", "preloader_raw_b"}};
  const int present[][4] = {{1, 0, 0, 0}, {1, 1, 0, 0}, {1, 1, 1, 1}};
  const int* layout = present[c.candidates == 1   ? 0
                              : c.candidates == 2 ? 1
                                                  : 2];
  for (int i = 0; i < 4; ++i) {
    if (layout[i]) {
      Disk(std::string("dev/block/") + kDisks[i][0],
           std::string(kDisks[i][1], 4), 4 << 20);
    }
  }
  std::vector<std::string> env;
  for (const std::string& e : c.fault.env) {
    if (e == "QUILLMAP_TEST_NO_CONTROL_NODE=1") {
      ASSERT_EQ(unlink((root_ + "/dev/device-mapper").c_str()), 0);
    } else {
      env.push_back(e);
    }
  }

  // The model of the walk.
  std::vector<std::string> expected;
  std::set<std::string> taken;
  std::vector<std::string> created;
  bool first = true;
  for (int i = 0; i < 4; ++i) {
    const std::string dev = kDisks[i][2];
    const std::string path = std::string("/dev/block/") + kDisks[i][0];
    if (!layout[i]) {
      expected.push_back(Quote(E("Device " + path + " not found.")));
      continue;
    }
    if (first && c.fault.every && !c.fault.err.empty() &&
        c.fault.name.rfind("control", 0) == 0) {
      expected.push_back(
          Quote(E("Failed to open device-mapper: " + c.fault.err)));
    }
    const bool hit = c.fault.lines && (first || c.fault.every);
    first = false;
    if (taken.count(dev) && !c.fault.every) {
      expected.push_back(Quote(E("DM_DEV_CREATE failed for [" + dev +
                                 "]: Device or resource busy")));
      expected.push_back(Quote(E("Failed to create device " + dev + ".")));
      continue;
    }
    if (hit) {
      for (const std::string& line : c.fault.lines(dev, c.fault.err)) {
        expected.push_back(Pattern(line, c.fault.aborts));
      }
      if (c.fault.aborts) break;  // the process ends at this line
      expected.push_back(Quote(E("Failed to create device " + dev + ".")));
      continue;
    }
    expected.push_back(Quote("I Created DM device " + dev +
                             " at /dev/block/dm-" +
                             std::to_string(created.size()) + "."));
    taken.insert(dev);
    created.push_back(dev);
  }

  Outcome run = Quillmap(env);
  if (c.fault.aborts) {
    EXPECT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGABRT)
        << run.status;
  } else {
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
        << run.status;
    EXPECT_EQ(ChildOpenDescriptors(), 0);
  }
  ASSERT_EQ(run.lines.size(), expected.size())
      << testing::PrintToString(run.lines);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_THAT(run.lines[i], MatchesRegex(expected[i])) << "line " << i;
  }
  std::vector<std::string> names;
  for (const fakedm::Device& d : fakedm::Devices()) names.push_back(d.name);
  EXPECT_EQ(names, created) << "only the devices created successfully remain";
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrix, testing::ValuesIn(MatrixCases()),
                         [](const testing::TestParamInfo<MatrixCase>& info) {
                           return info.param.fault.name + "_" +
                                  std::to_string(info.param.candidates) +
                                  "_candidates";
                         });

}  // namespace
