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
  if (path == nullptr) return false;
  static constexpr std::string_view kFiles[] = {
      "/dev/device-mapper", "/dev/kmsg", "/prop.default", "/default.prop"};
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

namespace {

// The fake, locked by |lock|; nullptr (and nothing locked) when the call
// comes from inside the fake or the fake is inactive.
Fake* Enter(const Inside& inside, std::unique_lock<std::mutex>* lock) {
  if (!inside.outer()) return nullptr;
  Fake& f = TheFake();
  *lock = std::unique_lock<std::mutex>(f.mu);
  if (!f.Active()) {
    lock->unlock();
    return nullptr;
  }
  return &f;
}

// The errno an injected fault gives this read (or seek) of |fd|, or 0.
int IoError(int fd, bool seek) {
  Inside inside;
  std::unique_lock<std::mutex> lock;
  Fake* f = Enter(inside, &lock);
  return f ? f->IoError(fd, seek) : 0;
}

}  // namespace

int Open(int dirfd, const char* path, int flags, mode_t mode) {
  Inside inside;
  std::unique_lock<std::mutex> lock;
  Fake* f = Enter(inside, &lock);
  if (!f || !IsRedirected(path)) {
    if (lock) lock.unlock();
    const int fd = Real().openat(dirfd, path, flags, mode);
    // A descriptor number the fake still holds was closed behind its back.
    if (f && fd >= 0) {
      lock.lock();
      f->Untrack(fd);
    }
    return fd;
  }
  f->Tick();
  Tracked t;
  t.path = path;
  t.control = t.path == "/dev/device-mapper";
  if (int err = t.control ? f->ControlOpenError() : 0) {
    errno = err;
    return -1;
  }
  const std::string redirected = f->Redirect(path);
  const int fd = Real().openat(AT_FDCWD, redirected.c_str(), flags, mode);
  if (fd < 0) return fd;
  const int saved = errno;
  char real[PATH_MAX];
  if (!t.control && realpath(redirected.c_str(), real))
    t.node = f->IsNode(real, &t.minor);
  f->Track(fd, t, flags);
  errno = saved;
  return fd;
}

int Access(int dirfd, const char* path, int mode, int flags) {
  Inside inside;
  std::unique_lock<std::mutex> lock;
  Fake* f = Enter(inside, &lock);
  if (!f || !IsRedirected(path)) {
    if (lock) lock.unlock();
    return Real().faccessat(dirfd, path, mode, flags);
  }
  f->Tick();
  return Real().faccessat(AT_FDCWD, f->Redirect(path).c_str(), mode, flags);
}

int Close(int fd) {
  Inside inside;
  std::unique_lock<std::mutex> lock;
  if (Fake* f = Enter(inside, &lock)) {
    const int saved = errno;
    f->Untrack(fd);
    errno = saved;
    lock.unlock();
  }
  return Real().close(fd);
}

int Ioctl(int fd, unsigned long request, void* arg) {
  Inside inside;
  std::unique_lock<std::mutex> lock;
  Fake* f = Enter(inside, &lock);
  if (f && f->IsControl(fd)) {
    f->Tick();
    const int err = f->HandleIoctl(request, arg);
    errno = err ? err : errno;
    return err ? -1 : 0;
  }
  if (lock) lock.unlock();
  return Real().ioctl(fd, request, arg);
}

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
