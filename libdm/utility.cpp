// The bounded path waits: one polling loop and the condition of each wait.
#include "libdm/utility.h"

#include <android-base/logging.h>
#include <errno.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace android {
namespace dm {

// What a polled condition tells the polling loop. Named in the library's
// namespace, but known only to this unit.
enum class WaitResult : int {
  KeepWaiting = 0,
  Satisfied = 1,
  Failed = 2,
};

namespace {

constexpr std::chrono::milliseconds kPollInterval(20);

bool PollUntil(const std::function<WaitResult()>& condition,
               const std::chrono::milliseconds& timeout) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    switch (condition()) {
      case WaitResult::Satisfied:
        return true;
      case WaitResult::Failed:
        return false;
      case WaitResult::KeepWaiting:
        break;
    }
    std::this_thread::sleep_for(kPollInterval);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (elapsed > timeout) return false;
  }
}

// Existence test shared by both waits: |want_present| says which outcome
// ends the wait.
WaitResult TestPath(const std::string& path, bool want_present) {
  if (access(path.c_str(), F_OK) == 0) {
    return want_present ? WaitResult::Satisfied : WaitResult::KeepWaiting;
  }
  if (errno == ENOENT) {
    return want_present ? WaitResult::KeepWaiting : WaitResult::Satisfied;
  }
  PLOG(ERROR) << "access failed: " << path;
  return WaitResult::Failed;
}

}  // namespace

bool WaitForFile(const std::string& path,
                 const std::chrono::milliseconds& timeout) {
  const std::function<WaitResult()> condition = [&path]() {
    return TestPath(path, /*want_present=*/true);
  };
  return PollUntil(condition, timeout);
}

bool WaitForFileDeleted(const std::string& path,
                        const std::chrono::milliseconds& timeout) {
  const std::function<WaitResult()> condition = [&path]() {
    return TestPath(path, /*want_present=*/false);
  };
  return PollUntil(condition, timeout);
}

}  // namespace dm
}  // namespace android
