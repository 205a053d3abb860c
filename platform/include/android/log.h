// The platform log library's printf-style entry point.
//
// __android_log_print hands one message to the logger that
// __android_log_set_logger installed, __android_log_stderr_logger until then.
// Lines below the priority admitted by ANDROID_LOG_TAGS for the tag are
// dropped. errno is left as it was. Returns the length of the formatted
// text, or 0 when the line was filtered out; a failed write is not reported.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum android_LogPriority {
  ANDROID_LOG_UNKNOWN = 0,
  ANDROID_LOG_DEFAULT,
  ANDROID_LOG_VERBOSE,
  ANDROID_LOG_DEBUG,
  ANDROID_LOG_INFO,
  ANDROID_LOG_WARN,
  ANDROID_LOG_ERROR,
  ANDROID_LOG_FATAL,
  ANDROID_LOG_SILENT,
} android_LogPriority;

// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
int __android_log_print(int prio, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// One message as a logger receives it (the platform's API 30 form).
// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
struct __android_log_message {
  size_t struct_size;  // sizeof(struct __android_log_message)
  int32_t buffer_id;   // -1: the default buffer
  int32_t priority;    // an android_LogPriority
  const char* tag;
  const char* file;  // nullptr for printf-style lines
  uint32_t line;
  const char* message;
};

// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
typedef void (*__android_logger_function)(
    const struct __android_log_message* log_message);

// Sends every later message to |logger|.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
void __android_log_set_logger(__android_logger_function logger);

// Writes "<tag> <S> <text>" to stderr, one line; "<tag> <S> <file>:<line>]
// <text>" when the message names a file (its last path component).
// NOLINTNEXTLINE(bugprone-reserved-identifier): the log library's own name.
void __android_log_stderr_logger(
    const struct __android_log_message* log_message);

#ifdef __cplusplus
}
#endif
