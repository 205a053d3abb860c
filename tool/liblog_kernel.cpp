// The log library's half of LogToKernelToo (kernel_log.h): a logger hook
// (platform API 30 and later) that writes each message to the kernel log,
// then to the log library's default place.
#include <android/log.h>

#include "kernel_log.h"
#include "log_record.h"

namespace quillmap {
namespace {

void ToKernelAndDefault(const struct __android_log_message* message) {
  WriteKernelRecord(kKernelLogPath, SeverityOf(message->priority), message->tag,
                    message->file, message->line, message->message);
#ifdef __ANDROID__
  __android_log_logd_logger(message);
#else
  __android_log_stderr_logger(message);
#endif
}

}  // namespace

void LiblogToKernelToo() { __android_log_set_logger(ToKernelAndDefault); }

}  // namespace quillmap
