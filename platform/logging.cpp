// The stream logger: ShouldLog, LogMessage, and the logger records go to.
#include "android-base/logging.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>

#include "log_sink.h"

namespace android {
namespace base {
namespace {

LogFunction& Logger() {
  static LogFunction logger = StderrLogger;
  return logger;
}

}  // namespace

void StderrLogger(LogId, LogSeverity severity, const char* tag,
                  const char* file, unsigned int line, const char* message) {
  internal::WriteRecord(tag, severity, file, line, message);
}

void SetLogger(LogFunction&& logger) { Logger() = std::move(logger); }

bool ShouldLog(LogSeverity severity, const char* tag) {
  return internal::TagAdmits(tag != nullptr ? tag : internal::DefaultTag(),
                             severity);
}

LogMessage::LogMessage(const char* file, unsigned int line,
                       LogSeverity severity, const char* tag, int error)
    : file_(file), line_(line), severity_(severity), tag_(tag), error_(error) {}

LogMessage::~LogMessage() {
  const ErrnoRestorer errno_restorer;
  std::string text = buffer_.str();
  if (error_ >= 0) {
    text += ": ";
    text += strerror(error_);
  }
  // The filter was asked before the text was built; a record constructed
  // directly (without the macros) is still filtered here.
  const char* tag = tag_ != nullptr ? tag_ : internal::DefaultTag();
  if (internal::TagAdmits(tag, severity_)) {
    Logger()(DEFAULT, severity_, tag, file_, line_, text.c_str());
  }
  if (severity_ == FATAL) abort();
}

}  // namespace base
}  // namespace android
