// The interposed calls at work: which ones the sandbox takes, the descriptors
// it hands out, and the path past the fake to libc.
#include "calls.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <string_view>

#include "fake.h"

namespace fakedm {
namespace internal {
namespace {

__attribute__((tls_model("initial-exec"))) thread_local bool t_inside = false;

template <typename F>
void Resolve(F* fn, const char* name) {
  *fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  if (!*fn) {
    fprintf(stderr, "fakedm: libc has no %s\n", name);
    abort();
  }
}

}  // namespace

const Libc& Real() {
  static const Libc libc = [] {
    Libc l;
    Resolve(&l.openat, "openat");
    Resolve(&l.faccessat, "faccessat");
    Resolve(&l.close, "close");
    Resolve(&l.ioctl, "ioctl");
    Resolve(&l.read, "read");
    Resolve(&l.lseek, "lseek");
    return l;
  }();
  return libc;
}

Inside::Inside() : outer_(!t_inside) { t_inside = true; }

Inside::~Inside() {
  if (outer_) t_inside = false;
}

bool IsRedirected(const char* path) {
  static constexpr std::string_view kFiles[] = {
      "/dev/device-mapper", "/prop.default", "/default.prop"};
  static constexpr std::string_view kTrees[] = {
      "/dev/block", "/system", "/system_ext", "/vendor", "/product", "/odm"};
  const std::string_view p(path);
  for (std::string_view f : kFiles) {
    if (p == f) return true;
  }
  for (std::string_view t : kTrees) {
    if (p.compare(0, t.size(), t) == 0 &&
        (p.size() == t.size() || p[t.size()] == '/')) {
      return true;
    }
  }
  return false;
}

int Open(int dirfd, const char* path, int flags, mode_t mode) {
  Inside inside;
  if (!inside.outer()) return Real().openat(dirfd, path, flags, mode);
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mu);
  if (!f.Active()) {
    lock.unlock();
    return Real().openat(dirfd, path, flags, mode);
  }
  f.Tick();
  if (!path || path[0] != '/' || !IsRedirected(path)) {
    lock.unlock();
    const int fd = Real().openat(dirfd, path, flags, mode);
    // A descriptor number the fake still holds was closed behind its back.
    if (fd >= 0) {
      lock.lock();
      f.Untrack(fd);
    }
    return fd;
  }
  Tracked t;
  t.path = path;
  t.control = t.path == "/dev/device-mapper";
  if (int err = t.control ? f.ControlOpenError() : 0) {
    errno = err;
    return -1;
  }
  const std::string redirected = f.Redirect(path);
  const int fd = Real().openat(AT_FDCWD, redirected.c_str(), flags, mode);
  if (fd < 0) return fd;
  const int saved = errno;
  char real[PATH_MAX];
  if (!t.control && realpath(redirected.c_str(), real))
    t.node = f.IsNode(real, &t.minor);
  f.Track(fd, t, flags);
  errno = saved;
  return fd;
}

int Access(int dirfd, const char* path, int mode, int flags) {
  Inside inside;
  if (!inside.outer()) return Real().faccessat(dirfd, path, mode, flags);
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mu);
  if (!f.Active() || !path || path[0] != '/' || !IsRedirected(path)) {
    if (f.Active()) f.Tick();
    lock.unlock();
    return Real().faccessat(dirfd, path, mode, flags);
  }
  f.Tick();
  return Real().faccessat(AT_FDCWD, f.Redirect(path).c_str(), mode, flags);
}

int Close(int fd) {
  Inside inside;
  if (inside.outer()) {
    Fake& f = TheFake();
    std::lock_guard<std::mutex> lock(f.mu);
    if (f.Active()) {
      f.Tick();
      const int saved = errno;
      f.Untrack(fd);
      errno = saved;
    }
  }
  return Real().close(fd);
}

int Ioctl(int fd, unsigned long request, void* arg) {
  Inside inside;
  if (inside.outer()) {
    Fake& f = TheFake();
    std::lock_guard<std::mutex> lock(f.mu);
    if (f.Active() && f.IsControl(fd)) {
      f.Tick();
      const int err = f.HandleIoctl(request, arg);
      errno = err ? err : errno;
      return err ? -1 : 0;
    }
  }
  return Real().ioctl(fd, request, arg);
}

namespace {

// The errno an injected fault gives this read (or seek) of |fd|, or 0.
int IoError(int fd, bool seek) {
  Inside inside;
  if (!inside.outer()) return 0;
  Fake& f = TheFake();
  std::lock_guard<std::mutex> lock(f.mu);
  return f.Active() ? f.IoError(fd, seek) : 0;
}

}  // namespace

ssize_t Read(int fd, void* buf, size_t count) {
  if (int err = IoError(fd, false)) {
    errno = err;
    return -1;
  }
  return Real().read(fd, buf, count);
}

off_t Seek(int fd, off_t offset, int whence) {
  if (int err = IoError(fd, true)) {
    errno = err;
    return -1;
  }
  return Real().lseek(fd, offset, whence);
}

}  // namespace internal
}  // namespace fakedm
