// The log library's half of LogToKernelToo (kernel_log.h) for a log library
// without a logger hook in the platform API 30 form, such as Debian's (29)
// in the platform-libs tree on a host. Nothing to install there: that base
// library's SetLogger already routes the log library's messages to the base
// logger, which writes them to the kernel log (the platform-libs test
// checks it). The build chooses this file when a feature test finds no such
// hook.
#include "kernel_log.h"

namespace quillmap {

void LiblogToKernelToo() {}

}  // namespace quillmap
