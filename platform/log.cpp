// The printf-style entry point of the platform's log library and the logger
// its messages go to.
#include "android/log.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>

#include "log_record.h"
#include "log_sink.h"

namespace {

// The log library's name for "the default buffer".
constexpr int32_t kDefaultBuffer = -1;

__android_logger_function logger = __android_log_stderr_logger;

}  // namespace

// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
extern "C" void __android_log_set_logger(__android_logger_function function) {
  logger = function;
}

// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
extern "C" void __android_log_stderr_logger(
    const struct __android_log_message* log_message) {
  android::base::internal::WriteRecord(
      log_message->tag, quillmap::SeverityOf(log_message->priority),
      log_message->file, log_message->line, log_message->message);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
extern "C" int __android_log_print(int prio, const char* tag, const char* fmt,
                                   ...) {
  const android::base::ErrnoRestorer errno_restorer;
  if (tag == nullptr) tag = android::base::internal::DefaultTag();
  if (!android::base::internal::TagAdmits(tag, quillmap::SeverityOf(prio))) {
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
  const __android_log_message message = {
      sizeof(message), kDefaultBuffer, prio, tag, nullptr, 0, text.c_str()};
  logger(&message);
  return static_cast<int>(text.size());
}
