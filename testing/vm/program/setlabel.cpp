// Sets the SELinux label of a file in the guest, as init's restorecon and
// ueventd do on a device (the guest's busybox has no SELinux applet).
// Usage: setlabel CONTEXT PATH: CONTEXT becomes PATH's security.selinux
// attribute (a link's own, not its target's). Exits 1 when that fails.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/xattr.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: setlabel CONTEXT PATH\n");
    return 1;
  }
  // With its NUL, as libselinux writes it.
  if (lsetxattr(argv[2], "security.selinux", argv[1], strlen(argv[1]) + 1, 0) !=
      0) {
    fprintf(stderr, "setlabel: %s: %s\n", argv[2], strerror(errno));
    return 1;
  }
  return 0;
}
