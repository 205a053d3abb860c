// The real, unmodified quillmap binary under the fake device-mapper kernel
// (LD_PRELOAD): its log lines, its exit status, and the devices it leaves.
#include <fakedm/fakedm.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

const char kUuid[] =
    "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";

struct Outcome {
  int status = -1;
  std::vector<std::string> lines;  // "S text", tag and source position dropped
};

class QuillmapUnderFake : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillmap_fake.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* dir : {"/dev", "/dev/block"}) {
      ASSERT_EQ(mkdir((root_ + dir).c_str(), 0755), 0);
    }
    Disk("dev/device-mapper", "", 0);
  }
  void TearDown() override {
    fakedm::SetRoot("");
    ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
  }

  void Disk(const std::string& rel, const std::string& header, uint64_t size) {
    const std::string path = root_ + "/" + rel;
    std::ofstream(path, std::ios::binary) << header;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0);
  }

  // Runs quillmap in the sandbox with |extra| environment entries.
  Outcome Quillmap(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("FAKEDM_", 0) == 0 ||
          entry.rfind("LD_PRELOAD=", 0) == 0 ||
          entry.rfind("ANDROID_", 0) == 0) {
        continue;
      }
      env.push_back(entry);
    }
    env.push_back("FAKEDM_ROOT=" + root_);
    env.push_back(std::string("LD_PRELOAD=") + FAKEDM_LIBRARY);
    // Under the sanitizer build the runtime is not first in the list.
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    env.insert(env.end(), extra.begin(), extra.end());
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(&entry[0]);
    envp.push_back(nullptr);

    int pipe_fds[2];
    EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    char program[] = QUILLMAP_PROGRAM;
    char* argv[] = {program, nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program, &actions, nullptr, argv, envp.data()),
              0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    std::string output;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0)
      output.append(buffer, n);
    close(pipe_fds[0]);
    Outcome run;
    EXPECT_EQ(waitpid(pid, &run.status, 0), pid);
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
      // "<tag> <S> [<file>:<line>] ]<text>"
      size_t first = line.find(' ');
      if (first == std::string::npos || first + 3 > line.size()) {
        run.lines.push_back(line);
        continue;
      }
      std::string text = line.substr(first + 3);
      size_t mark = text.find("] ");
      if (mark != std::string::npos && text.find(' ') > mark)
        text = text.substr(mark + 2);
      run.lines.push_back(std::string(1, line[first + 1]) + " " + text);
    }
    // Read the kernel state the run left behind.
    fakedm::SetRoot(root_);
    return run;
  }

  // Descriptors the program opened through the sandbox and did not close.
  int ChildOpenDescriptors() const {
    std::ifstream in(root_ + "/.fakedm/open_fds");
    int count = -1;
    in >> count;
    return count;
  }

  std::string root_;
};

TEST_F(QuillmapUnderFake, UfsOnlyDeviceGetsBothRegionsMapped) {
  Disk("dev/block/sda", std::string("UFS\0", 4), 4 << 20);
  Disk("dev/block/sdb", "UFSB", 4 << 20);
  Outcome run = Quillmap();
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(
      run.lines,
      ElementsAre("I Created DM device preloader_raw_a at /dev/block/dm-0.",
                  "I Created DM device preloader_raw_b at /dev/block/dm-1.",
                  "E Device /dev/block/mmcblk0boot0 not found.",
                  "E Device /dev/block/mmcblk0boot1 not found."));
  auto devices = fakedm::Devices();
  ASSERT_EQ(devices.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(devices[i].name, i == 0 ? "preloader_raw_a" : "preloader_raw_b");
    EXPECT_THAT(devices[i].uuid, MatchesRegex(kUuid));
    ASSERT_EQ(devices[i].active.size(), 1u);
    EXPECT_EQ(devices[i].active[0].length, 8184u);
    EXPECT_EQ(devices[i].active[0].params,
              i == 0 ? "/dev/block/sda 8" : "/dev/block/sdb 8");
  }
  EXPECT_EQ(ChildOpenDescriptors(), 0);
}

TEST_F(QuillmapUnderFake, EmmcOnlyMapsFromSectorFour) {
  Disk("dev/block/mmcblk0boot0", "EMMC", 4 << 20);
  Disk("dev/block/mmcblk0boot1", "COMB", 4 << 20);
  Outcome run = Quillmap();
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(
      run.lines,
      ElementsAre("E Device /dev/block/sda not found.",
                  "E Device /dev/block/sdb not found.",
                  "I Created DM device preloader_raw_a at /dev/block/dm-0.",
                  "I Created DM device preloader_raw_b at /dev/block/dm-1."));
  auto devices = fakedm::Devices();
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(devices[0].active.at(0).params, "/dev/block/mmcblk0boot0 4");
  EXPECT_EQ(devices[0].active.at(0).length, 8188u);
  EXPECT_EQ(devices[1].active.at(0).params, "/dev/block/mmcblk0boot1 8");
}

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

TEST_F(QuillmapUnderFake, MissingControlNodeFailsEveryRecognisedCandidate) {
  ASSERT_EQ(unlink((root_ + "/dev/device-mapper").c_str()), 0);
  Disk("dev/block/sda", std::string("UFS\0", 4), 4 << 20);
  Disk("dev/block/mmcblk0boot1", "EMMC", 4 << 20);
  Outcome run = Quillmap();
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(
      run.lines,
      ElementsAre(
          "E Failed to open device-mapper: No such file or directory",
          "E DM_DEV_CREATE failed for [preloader_raw_a]: Bad file descriptor",
          "E Failed to create device preloader_raw_a.",
          "E Device /dev/block/sdb not found.",
          "E Device /dev/block/mmcblk0boot0 not found.",
          "E DM_DEV_CREATE failed for [preloader_raw_b]: Bad file descriptor",
          "E Failed to create device preloader_raw_b."));
}

TEST_F(QuillmapUnderFake, NothingRecognisedNeverOpensTheControlNode) {
  // Without a control node, asking for the handle would log its failure.
  ASSERT_EQ(unlink((root_ + "/dev/device-mapper").c_str()), 0);
  Disk("dev/block/sda", std::string(4, '\0'), 4 << 20);
  Disk("dev/block/sdb", "UFS", 3);
  Disk("dev/block/mmcblk0boot0", "EMMC", 4 * 512);
  Outcome run = Quillmap();
  EXPECT_EQ(run.status, 0);
  EXPECT_THAT(
      run.lines,
      ElementsAre("E Unknown header  for /dev/block/sda.",
                  "E Failed to read /dev/block/sdb: read 3 of 4 header bytes.",
                  "E Device /dev/block/mmcblk0boot0 is too small.",
                  "E Device /dev/block/mmcblk0boot1 not found."));
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

// ---- the fault matrix ----
//
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
  faults.push_back({"control_open_EACCES",
                    {"FAKEDM_CONTROL_OPEN_FAIL=EACCES"},
                    [](const std::string& d, const std::string&) {
                      return V{E("DM_DEV_CREATE failed for [" + d +
                                 "]: Bad file descriptor")};
                    },
                    strerror(EACCES),
                    true});
  faults.push_back({"control_node_missing",
                    {"QUILLMAP_TEST_NO_CONTROL_NODE=1"},
                    [](const std::string& d, const std::string&) {
                      return V{E("DM_DEV_CREATE failed for [" + d +
                                 "]: Bad file descriptor")};
                    },
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

std::string Quote(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
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
  bool aborted = false;
  for (int i = 0; i < 4 && !aborted; ++i) {
    const std::string dev = kDisks[i][2];
    const std::string path = std::string("/dev/block/") + kDisks[i][0];
    if (!layout[i]) {
      expected.push_back(Quote(E("Device " + path + " not found.")));
      continue;
    }
    if (first && c.fault.every && c.fault.err.size() &&
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
        const bool is_pattern =
            c.fault.aborts || line.find("by-uuid/[") != std::string::npos;
        expected.push_back(
            is_pattern ? line.substr(0, line.find(kUuid)) == line
                             ? line
                             : Quote(line.substr(0, line.find(kUuid))) + kUuid
                       : Quote(line));
      }
      if (c.fault.aborts) {
        aborted = true;
        break;
      }
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
