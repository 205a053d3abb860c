// What both log paths need to turn a message into a record, on the stand-in
// and on the platform's real libraries alike (header-only, nothing of the
// stand-in in it): the base library's severity of a log library priority,
// and the last path component of a source file.
#pragma once

#include <android-base/logging.h>
#include <android/log.h>
#include <string.h>

namespace quillmap {

// A fatal priority only writes its line: the log library's printf-style
// entry point never ends the process.
inline android::base::LogSeverity SeverityOf(int priority) {
  if (priority <= ANDROID_LOG_VERBOSE) return android::base::VERBOSE;
  if (priority >= ANDROID_LOG_FATAL) return android::base::FATAL_WITHOUT_ABORT;
  return static_cast<android::base::LogSeverity>(priority -
                                                 ANDROID_LOG_VERBOSE);
}

inline const char* Basename(const char* file) {
  const char* slash = strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

}  // namespace quillmap
