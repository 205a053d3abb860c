// A sandbox for the fake device-mapper kernel in which the real quillmap
// binary runs under LD_PRELOAD, with helpers to read back its log and the
// state it left.
#pragma once

#include <fakedm/fakedm.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace quillmap_testing {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

inline constexpr char kUuid[] =
    "[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}";

struct Outcome {
  int status = -1;
  std::vector<std::string> lines;  // "S text": the logger's prefix dropped
};

class QuillmapUnderFake : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    Disk("dev/device-mapper", "", 0);
  }
  void TearDown() override { fakedm::SetRoot(""); }

  void Disk(const std::string& rel, const std::string& header, uint64_t size) {
    ASSERT_FALSE(sandbox_.File(rel, header, size).empty()) << rel;
  }

  // Runs |program| (by default quillmap) in the sandbox with |extra|
  // environment entries.
  Outcome Quillmap(const std::vector<std::string>& extra = {},
                   const char* program = QUILLMAP_PROGRAM) {
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
    std::string argv0 = program;
    char* argv[] = {&argv0[0], nullptr};
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
    // The platform's real loggers write the time, process and thread ids
    // after the severity; the stand-in writes none of them.
    static const std::regex kRealStamp(
        R"(^\d\d-\d\d \d\d:\d\d:\d\d +\d+ +\d+ )");
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
      // "<tag> <S> [<stamp> ][<file>:<line>] ]<text>"
      size_t first = line.find(' ');
      if (first == std::string::npos || first + 3 > line.size()) {
        run.lines.push_back(line);
        continue;
      }
      std::string text =
          std::regex_replace(line.substr(first + 3), kRealStamp, "",
                             std::regex_constants::format_first_only);
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

  quillmap_testing::TempDir sandbox_{"quillmap_fake"};
  const std::string& root_ = sandbox_.path();
};

}  // namespace quillmap_testing
