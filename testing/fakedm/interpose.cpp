// The libc symbols libfakedm.so replaces, handed to calls.cpp (fake.h); the
// 64-bit names alias the plain ones (off_t is 64 bits wide), the fortified
// ones (glibc's reserved names) differ only in how they are called.
// NOLINTBEGIN(bugprone-reserved-identifier)
#undef _FORTIFY_SOURCE
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "fake.h"

static_assert(sizeof(off_t) == 8, "lseek64 is lseek");

#define FAKEDM_INTERPOSE extern "C" __attribute__((visibility("default")))
#define FAKEDM_SAME_AS(name) __attribute__((alias(#name)))

namespace {

// The mode argument exists only when the flags create a file.
mode_t ModeOf(int flags, va_list ap) {
  if (!(flags & O_CREAT) && (flags & O_TMPFILE) != O_TMPFILE) return 0;
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): the caller's list.
  return va_arg(ap, mode_t);
}

}  // namespace

using fakedm::internal::Open;

FAKEDM_INTERPOSE int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  return Open(AT_FDCWD, path, flags, mode);
}
FAKEDM_INTERPOSE int open64(const char* path, int flags, ...)
    FAKEDM_SAME_AS(open);

FAKEDM_INTERPOSE int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeOf(flags, ap);
  va_end(ap);
  return Open(dirfd, path, flags, mode);
}
FAKEDM_INTERPOSE int openat64(int dirfd, const char* path, int flags, ...)
    FAKEDM_SAME_AS(openat);

FAKEDM_INTERPOSE int __open_2(const char* path, int flags) {
  return Open(AT_FDCWD, path, flags, 0);
}
FAKEDM_INTERPOSE int __open64_2(const char* path, int flags)
    FAKEDM_SAME_AS(__open_2);

FAKEDM_INTERPOSE int __openat_2(int dirfd, const char* path, int flags) {
  return Open(dirfd, path, flags, 0);
}
FAKEDM_INTERPOSE int __openat64_2(int dirfd, const char* path, int flags)
    FAKEDM_SAME_AS(__openat_2);

FAKEDM_INTERPOSE int access(const char* path, int mode) __THROW {
  return fakedm::internal::Access(AT_FDCWD, path, mode, 0);
}

FAKEDM_INTERPOSE int faccessat(int dirfd, const char* path, int mode,
                               int flags) __THROW {
  return fakedm::internal::Access(dirfd, path, mode, flags);
}

FAKEDM_INTERPOSE int close(int fd) { return fakedm::internal::Close(fd); }

FAKEDM_INTERPOSE int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return fakedm::internal::Ioctl(fd, request, arg);
}

FAKEDM_INTERPOSE ssize_t read(int fd, void* buf, size_t count) {
  return fakedm::internal::Read(fd, buf, count);
}

FAKEDM_INTERPOSE ssize_t __read_chk(int fd, void* buf, size_t count,
                                    size_t buflen) {
  if (count > buflen) abort();  // what the fortified check does
  return fakedm::internal::Read(fd, buf, count);
}

FAKEDM_INTERPOSE off_t lseek(int fd, off_t offset, int whence) __THROW {
  return fakedm::internal::Seek(fd, offset, whence);
}
FAKEDM_INTERPOSE off64_t lseek64(int fd, off64_t offset, int whence) __THROW
    FAKEDM_SAME_AS(lseek);
// NOLINTEND(bugprone-reserved-identifier)
