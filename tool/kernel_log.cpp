#include "kernel_log.h"

#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "log_record.h"

namespace quillmap {
namespace {

// Kernels before 5.10 refuse a write to /dev/kmsg longer than 1024 - 32
// bytes (EINVAL); newer ones take 1024.
constexpr size_t kMaxRecordBytes = 992;

// The kernel's levels: crit, err, warning, info, debug.
int KernelLevel(android::base::LogSeverity severity) {
  switch (severity) {
    case android::base::VERBOSE:
    case android::base::DEBUG:
      return 7;
    case android::base::INFO:
      return 6;
    case android::base::WARNING:
      return 4;
    case android::base::ERROR:
      return 3;
    default:
      return 2;
  }
}

}  // namespace

void WriteKernelRecord(const char* path, android::base::LogSeverity severity,
                       const char* tag, const char* file, unsigned int line,
                       const char* message) {
  const android::base::ErrnoRestorer errno_restorer;
  std::string record = "<" + std::to_string(KernelLevel(severity)) + ">";
  // Both log libraries name the tag themselves; this is only a guard.
  record += tag != nullptr ? tag : "quillmap";
  record += ": ";
  if (file != nullptr) {
    record += Basename(file);
    record += ":" + std::to_string(line) + "] ";
  }
  record += message;
  if (record.size() > kMaxRecordBytes - 1) record.resize(kMaxRecordBytes - 1);
  record += '\n';
  // O_APPEND: a regular file standing in for the node (in tests) keeps every
  // record; the node itself ignores the flag, and SELinux then checks append
  // rather than write (sepolicy/quillmap.te).
  android::base::unique_fd fd(
      open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY));
  ssize_t written = -1;
  while (fd.ok() && written < 0) {
    written = write(fd.get(), record.data(), record.size());
    if (written < 0 && errno != EINTR) break;
  }
}

android::base::LogFunction AlsoToKernelLog(const char* path,
                                           android::base::LogFunction next) {
  return [path, next = std::move(next)](
             android::base::LogId id, android::base::LogSeverity severity,
             const char* tag, const char* file, unsigned int line,
             const char* message) {
    WriteKernelRecord(path, severity, tag, file, line, message);
    next(id, severity, tag, file, line, message);
  };
}

void LogToKernelToo() {
  // The base library's own default, which it gives no way to ask for.
#ifdef __ANDROID__
  android::base::LogFunction base_default = android::base::LogdLogger();
#else
  android::base::LogFunction base_default = android::base::StderrLogger;
#endif
  android::base::SetLogger(
      AlsoToKernelLog(kKernelLogPath, std::move(base_default)));
  // After SetLogger: a base library that forwards the log library's
  // messages to its own logger installs that forwarding there, and this
  // replaces it, so each line reaches the kernel log once either way.
  LiblogToKernelToo();
}

}  // namespace quillmap
