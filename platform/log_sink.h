// Internal to the platform layer: the severity filter read from
// ANDROID_LOG_TAGS and the writer that puts one record on stderr. Shared by
// the stream logger and the printf-style entry point and their stderr
// loggers. Neither function changes errno.
#pragma once

#include <string>

#include "android-base/logging.h"

namespace android {
namespace base {
namespace internal {

// The tag used when a record names none: the program's short name.
const char* DefaultTag();

// True when ANDROID_LOG_TAGS admits |severity| for |tag|. The entry for the
// tag wins over "*"; without either, INFO and above are admitted. FATAL is
// always admitted.
bool TagAdmits(const char* tag, LogSeverity severity);

// Writes "<tag> <S> <file>:<line>] <text>\n" to stderr in one write, the
// file by its last path component; without a file "<tag> <S> <text>\n".
void WriteRecord(const char* tag, LogSeverity severity, const char* file,
                 unsigned int line, const char* text);

}  // namespace internal
}  // namespace base
}  // namespace android
