// The log library's half of LogToKernelToo (kernel_log.h) for a log library
// older than platform API 30, such as Debian's (29) in the platform-libs
// tree on a host: it has no logger hook of that form, so its lines go only
// where it sends them itself (stderr on a host). The build chooses this file
// when a feature test finds no such hook; a device always has one.
#include "kernel_log.h"

namespace quillmap {

void LiblogToKernelToo() {}

}  // namespace quillmap
