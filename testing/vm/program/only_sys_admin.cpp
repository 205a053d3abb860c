// Runs a program as init runs a service declared with `user root` and
// `capabilities SYS_ADMIN`: the capability bounding set cut down to
// CAP_SYS_ADMIN, so that root's exec leaves the program that capability and
// no other. Usage: only_sys_admin PROGRAM [ARG]...; exits 127 when it
// cannot.
#include <linux/capability.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: only_sys_admin PROGRAM [ARG]...\n");
    return 127;
  }
  // The kernel answers EINVAL past its last capability.
  for (int cap = 0; prctl(PR_CAPBSET_READ, cap) >= 0; ++cap) {
    if (cap != CAP_SYS_ADMIN && prctl(PR_CAPBSET_DROP, cap) != 0) {
      perror("only_sys_admin: PR_CAPBSET_DROP");
      return 127;
    }
  }
  execv(argv[1], argv + 1);
  perror("only_sys_admin: execv");
  return 127;
}
