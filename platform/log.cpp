// The printf-style entry point of the platform's log library.
#include "android/log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>

#include "log_sink.h"

namespace {

android::base::LogSeverity SeverityOf(int prio) {
  using android::base::LogSeverity;
  if (prio <= ANDROID_LOG_VERBOSE) return android::base::VERBOSE;
  if (prio >= ANDROID_LOG_FATAL) return android::base::FATAL;
  return static_cast<LogSeverity>(prio - ANDROID_LOG_VERBOSE);
}

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
extern "C" int __android_log_print(int prio, const char* tag, const char* fmt,
                                   ...) {
  int saved_errno = errno;
  if (tag == nullptr) tag = android::base::internal::DefaultTag();
  android::base::LogSeverity severity = SeverityOf(prio);
  // Unlike the stream logger, a fatal priority here only writes a line.
  if (severity == android::base::FATAL)
    severity = android::base::FATAL_WITHOUT_ABORT;
  if (!android::base::internal::TagAdmits(tag, severity)) {
    errno = saved_errno;
    return 0;
  }
  // Most lines fit the stack buffer; a longer one is formatted again.
  char small[512];
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above.
  const int needed = vsnprintf(small, sizeof(small), fmt, args);
  va_end(args);
  std::string text;
  if (needed > 0 && static_cast<size_t>(needed) < sizeof(small)) {
    text.assign(small, static_cast<size_t>(needed));
  } else if (needed > 0) {
    text.resize(static_cast<size_t>(needed) + 1);
    vsnprintf(&text[0], text.size(), fmt, again);
    text.resize(static_cast<size_t>(needed));
  }
  va_end(again);
  android::base::internal::WriteRecord(tag, severity, text);
  errno = saved_errno;
  return static_cast<int>(text.size());
}
