// The interposed calls at work (see fake.h): which ones the sandbox takes,
// the descriptors it hands out, and the path past the fake to libc.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <regex>
#include <string_view>

#include "fake.h"

namespace fakedm {
namespace internal {
namespace {

__attribute__((tls_model("initial-exec"))) thread_local bool t_inside = false;

// libc's |name|, found past the interposers.
template <typename F>
F Next(const char* name) {
  auto fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  if (!fn) {
    fprintf(stderr, "fakedm: libc has no %s\n", name);
    abort();
  }
  return fn;
}

// |take| on the locked fake when the sandbox takes the call: it comes from
// outside the fake, the fake is active and |mine| owns its path or
// descriptor; otherwise |pass|, libc's call, unlocked. |take| gives the
// results and errno of the call it replaces; read() and lseek() fail only by
// an injected fault.
template <typename Mine, typename Take, typename Pass>
auto Dispatch(Mine&& mine, Take&& take, Pass&& pass) -> decltype(pass()) {
  Inside inside;
  if (inside.outer()) {
    Fake& f = TheFake();
    std::lock_guard<std::mutex> lock(f.mu);
    if (f.Active() && mine(f)) return take(f);
  }
  return pass();
}

}  // namespace

Inside::Inside() : outer_(!t_inside) { t_inside = true; }

Inside::~Inside() {
  if (outer_) t_inside = false;
}

bool IsRedirected(const char* path) {
  static const std::regex kRedirected(
      "/(dev/device-mapper|dev/kmsg|prop\\.default|default\\.prop|"
      "(dev/block|system|system_ext|vendor|product|odm)(/.*)?)");
  return path != nullptr && std::regex_match(path, kRedirected);
}

int Open(int dirfd, const char* path, int flags, mode_t mode) {
  static const auto libc = Next<int (*)(int, const char*, int, ...)>("openat");
  return Dispatch(
      [&](Fake&) { return IsRedirected(path); },
      [&](Fake& f) {
        f.Tick();
        Tracked t{path, std::string_view(path) == "/dev/device-mapper",
                  NodeMinor(path)};
        if (int err = t.control ? f.FaultErrno("open") : 0) {
          errno = err;
          return -1;
        }
        const int fd = libc(AT_FDCWD, f.Redirect(path).c_str(), flags, mode);
        if (fd >= 0) f.Track(fd, t, flags);
        return fd;
      },
      [&] { return libc(dirfd, path, flags, mode); });
}

int Access(int dirfd, const char* path, int mode, int flags) {
  static const auto libc =
      Next<int (*)(int, const char*, int, int)>("faccessat");
  return Dispatch([&](Fake&) { return IsRedirected(path); },
                  [&](Fake& f) {
                    f.Tick();
                    return libc(AT_FDCWD, f.Redirect(path).c_str(), mode,
                                flags);
                  },
                  [&] { return libc(dirfd, path, mode, flags); });
}

int Close(int fd) {
  static const auto libc = Next<int (*)(int)>("close");
  return Dispatch([](Fake&) { return true; },
                  [&](Fake& f) { return (f.Untrack(fd), libc(fd)); },
                  [&] { return libc(fd); });
}

int Ioctl(int fd, unsigned long request, void* arg) {
  static const auto libc = Next<int (*)(int, unsigned long, ...)>("ioctl");
  return Dispatch([&](Fake& f) { return f.IsControl(fd); },
                  [&](Fake& f) {
                    f.Tick();
                    const int err = f.HandleIoctl(request, arg);
                    errno = err ? err : errno;
                    return err ? -1 : 0;
                  },
                  [&] { return libc(fd, request, arg); });
}

ssize_t Read(int fd, void* buf, size_t count) {
  static const auto libc = Next<ssize_t (*)(int, void*, size_t)>("read");
  int err = 0;
  return Dispatch([&](Fake& f) { return (err = f.IoError(fd, false)) != 0; },
                  [&](Fake&) { return (errno = err, ssize_t{-1}); },
                  [&] { return libc(fd, buf, count); });
}

off_t Seek(int fd, off_t offset, int whence) {
  static const auto libc = Next<off_t (*)(int, off_t, int)>("lseek");
  int err = 0;
  return Dispatch([&](Fake& f) { return (err = f.IoError(fd, true)) != 0; },
                  [&](Fake&) { return (errno = err, off_t{-1}); },
                  [&] { return libc(fd, offset, whence); });
}

}  // namespace internal
}  // namespace fakedm
