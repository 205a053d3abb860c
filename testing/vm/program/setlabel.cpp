// Sets the SELinux label of files in the guest, as init's restorecon and
// ueventd do on a device (the guest's busybox has no SELinux applet).
// Usage: setlabel CONTEXT PATH...: CONTEXT becomes each PATH's
// security.selinux attribute (a link's own, not its target's). Exits 1 when
// one fails, naming it.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/xattr.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: setlabel CONTEXT PATH...\n");
    return 1;
  }
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    // With its NUL, as libselinux writes it.
    if (lsetxattr(argv[i], "security.selinux", argv[1], strlen(argv[1]) + 1,
                  0) != 0) {
      fprintf(stderr, "setlabel: %s: %s\n", argv[i], strerror(errno));
      status = 1;
    }
  }
  return status;
}
