// An owned file descriptor in the style of the platform's base library.
//
// unique_fd closes the descriptor it holds when it is destroyed or reset;
// -1 means none. It moves but does not copy. release() hands the descriptor
// back to the caller, who then owns it. close() keeps errno as it was, so a
// descriptor closed on a failure path does not hide the failure's errno.
#pragma once

#include <unistd.h>

#include "android-base/logging.h"

namespace android {
namespace base {

class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;

  void reset(int new_value = -1) {
    if (fd_ >= 0) {
      const ErrnoRestorer errno_restorer;
      ::close(fd_);
    }
    fd_ = new_value;
  }
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  [[nodiscard]] int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace base
}  // namespace android
