// Starts a program as init starts quillmap's service (`user root`,
// `capabilities SYS_ADMIN`, `seclabel CONTEXT` when -s gives one): uid and
// gid 0 without supplementary groups; CAP_SYS_ADMIN alone in the bounding set
// and raised in the inheritable and ambient ones, so that the program has
// {SYS_ADMIN} in all five sets; stdio on /dev/null, every other descriptor
// closed; CONTEXT in /proc/self/attr/exec. Labelled init_exec, the file
// enters init's domain from the kernel's.
// Usage: init_stand_in [-s CONTEXT] PROGRAM [ARG]...; exits 127 when it cannot.
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kCantStart = 127;

int Fail(const char* what) {
  perror(what);
  return kCantStart;
}

// What init's SetCapsForExec leaves before the exec.
bool KeepOnlySysAdmin() {
  // The kernel answers EINVAL past its last capability.
  for (int cap = 0; prctl(PR_CAPBSET_READ, cap) >= 0; ++cap) {
    if (cap != CAP_SYS_ADMIN && prctl(PR_CAPBSET_DROP, cap) != 0) return false;
  }
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_TO_INDEX(CAP_SYS_ADMIN)].inheritable |= CAP_TO_MASK(CAP_SYS_ADMIN);
  return syscall(SYS_capset, &header, data) == 0 &&
         prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SYS_ADMIN, 0, 0) == 0;
}

bool WriteExecContext(const char* context) {
  int fd = open("/proc/self/attr/exec", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t length = static_cast<ssize_t>(strlen(context));
  const bool written = write(fd, context, length) == length;
  close(fd);
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  const char* seclabel = nullptr;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "-s") == 0) {
    seclabel = argv[2];
    first = 3;
  }
  if (first >= argc) {
    fprintf(stderr, "usage: init_stand_in [-s CONTEXT] PROGRAM [ARG]...\n");
    return kCantStart;
  }
  if (setgroups(0, nullptr) != 0 || setgid(0) != 0 || setuid(0) != 0) {
    return Fail("init_stand_in: user and group");
  }
  if (!KeepOnlySysAdmin()) return Fail("init_stand_in: capabilities");
  if (seclabel != nullptr && !WriteExecContext(seclabel)) {
    return Fail("init_stand_in: /proc/self/attr/exec");
  }
  const int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) return Fail("init_stand_in: /dev/null");
  // The service gets no descriptor of ours: under SELinux it could not use
  // one from the caller's domain anyway.
  for (int fd = 0; fd <= 2; ++fd) {
    if (null_fd != fd && dup2(null_fd, fd) != fd) return kCantStart;
  }
  if (syscall(SYS_close_range, 3, ~0U, 0) != 0) return kCantStart;
  execv(argv[first], argv + first);
  return kCantStart;
}
