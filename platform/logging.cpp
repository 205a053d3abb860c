// The stream logger: ShouldLog and LogMessage.
#include "android-base/logging.h"

#include <stdlib.h>
#include <string.h>

#include "log_sink.h"

namespace android {
namespace base {

bool ShouldLog(LogSeverity severity, const char* tag) {
  return internal::TagAdmits(tag != nullptr ? tag : internal::DefaultTag(),
                             severity);
}

LogMessage::LogMessage(const char* file, unsigned int line,
                       LogSeverity severity, const char* tag, int error)
    : file_(file), line_(line), severity_(severity), tag_(tag), error_(error) {}

LogMessage::~LogMessage() {
  int saved_errno = errno;
  std::string text;
  if (file_ != nullptr) {
    const char* slash = strrchr(file_, '/');
    text += slash != nullptr ? slash + 1 : file_;
    text += ':';
    text += std::to_string(line_);
    text += "] ";
  }
  text += buffer_.str();
  if (error_ >= 0) {
    text += ": ";
    text += strerror(error_);
  }
  // The filter was asked before the text was built; a record constructed
  // directly (without the macros) is still filtered here.
  const char* tag = tag_ != nullptr ? tag_ : internal::DefaultTag();
  if (internal::TagAdmits(tag, severity_)) {
    internal::WriteRecord(tag, severity_, text);
  }
  if (severity_ == FATAL) abort();
  errno = saved_errno;
}

}  // namespace base
}  // namespace android
