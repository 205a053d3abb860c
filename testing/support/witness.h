// What the tests on real kernels, the contract suite and the host tests use
// to watch the system from the side: bounded polls, path checks, reads of
// block devices, the library's log lines on stderr, and child commands with
// their output; and a guard for one environment variable.
#pragma once

#include <android-base/unique_fd.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace contract {

// Polls |done| every 5 ms for up to |limit|; true once it held.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit);

// True when |path| names anything, a dangling link included (lstat).
bool Exists(const std::string& path);

// |len| bytes at |offset| of |path|; shorter (possibly empty) on failure.
std::string ReadAt(const std::string& path, off_t offset, size_t len);

// Names of the entries of |dir| that start with |prefix|, without "." and
// "..", in directory order.
std::vector<std::string> Entries(const std::string& dir,
                                 const std::string& prefix);

// Runs |argv| (an absolute path first) with stdin from /dev/null, in this
// process's environment with the "NAME=VALUE" entries of |env| added or put
// in place of the same names; *output gets its stdout and stderr together.
// Returns the exit status, 128 + the signal when a signal ended it, or -1
// when it could not be run.
int RunCommand(const std::vector<std::string>& argv, std::string* output,
               const std::vector<std::string>& env = {});

// Each log line of |text| as "S text", from either form the program writes:
// stderr's "<tag> <S> ..." and the kernel log's "<level><tag>: ..." (the
// level as the letter of the severity it came from). The tag, the platform
// logger's time and ids, and a library line's "<file>:<line>] " are dropped.
// Lines of another shape are kept whole.
std::vector<std::string> LogLines(const std::string& text);

// Sets the environment variable |name| to |value| (unsets it for nullptr)
// for the object's lifetime, then puts back what was there before.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  bool had_;
  std::string old_;
};

// Sends what this process writes to stderr (where the loggers write) to an
// anonymous in-memory file from construction until Stop() or destruction,
// which put the former stderr back. One capture at a time.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture() { Stop(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  bool ok() const { return file_.ok() && saved_.ok(); }
  // Ends the capture and returns all that was written (later calls: "").
  std::string Stop();

 private:
  android::base::unique_fd file_;
  android::base::unique_fd saved_;
};

}  // namespace contract
