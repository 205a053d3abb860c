// The calls libfakedm.so interposes, as the interposers hand them over, and
// the way past them to libc.
//
// Each call passes to libc unchanged when the fake is inactive (no root),
// when it comes from inside the fake itself (an Inside guard is alive on the
// thread), or when it concerns a path or descriptor the fake does not own;
// otherwise it works in the sandbox. Results and errno are those of the call
// being replaced. read() and lseek() only ever fail by an injected fault.
#pragma once

#include <sys/types.h>

namespace fakedm {
namespace internal {

// libc's own functions, found past the interposers.
struct Libc {
  int (*openat)(int, const char*, int, ...);
  int (*faccessat)(int, const char*, int, int);
  int (*close)(int);
  int (*ioctl)(int, unsigned long, ...);
  ssize_t (*read)(int, void*, size_t);
  off_t (*lseek)(int, off_t, int);
};
const Libc& Real();

// Marks the current thread as inside the fake for its lifetime, so that the
// fake's own file I/O goes straight to libc; only the outermost one counts.
class Inside {
 public:
  Inside();
  ~Inside();
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;
  bool outer() const { return outer_; }

 private:
  const bool outer_;
};

int Open(int dirfd, const char* path, int flags, mode_t mode);
int Access(int dirfd, const char* path, int mode, int flags);
int Close(int fd);
int Ioctl(int fd, unsigned long request, void* arg);
ssize_t Read(int fd, void* buf, size_t count);
off_t Seek(int fd, off_t offset, int whence);

// Whether |path| (which may be null or relative) is one of the absolute
// paths redirected into the sandbox.
bool IsRedirected(const char* path);

}  // namespace internal
}  // namespace fakedm
