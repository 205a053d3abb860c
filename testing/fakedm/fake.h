// The calls libfakedm.so interposes, as the interposers hand them over.
//
// Each one passes the call to libc unchanged when the fake is inactive (no
// root), when the call comes from inside the fake itself, or when it concerns
// a path or descriptor the fake does not own; otherwise it works in the
// sandbox. Results and errno are those of the call being replaced.
#pragma once

#include <sys/types.h>

namespace fakedm {
namespace internal {

int Open(int dirfd, const char* path, int flags, mode_t mode);
int Access(int dirfd, const char* path, int mode, int flags);
int Close(int fd);
int Ioctl(int fd, unsigned long request, void* arg);

// Whether |path| is one of the absolute paths redirected into the sandbox.
bool IsRedirected(const char* path);

}  // namespace internal
}  // namespace fakedm
