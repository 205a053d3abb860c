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
#include <fstream>
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
  EXPECT_EQ(fakedm::OpenDescriptors(), 0);
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

}  // namespace
