// The platform log library's printf-style entry point.
//
// __android_log_print writes one line to stderr: "<tag> <S> <text>". Lines
// below the priority admitted by ANDROID_LOG_TAGS for the tag are dropped.
// errno is left as it was. Returns the length of the formatted text, or 0
// when the line was filtered out; a failed write to stderr is not reported.
#pragma once

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

#ifdef __cplusplus
}
#endif
