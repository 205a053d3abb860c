// Stream logging in the style of the platform's base library.
//
// LOG(severity) << ...   writes one record; PLOG(severity) << ... appends
// ": " and the description of errno. CHECK(expr) << ... writes
// "Check failed: expr " plus the message at FATAL and ends the process.
//
// Contract: errno is saved before a record is built and restored after it is
// written, so logging never disturbs errno. A record below FATAL is built
// only when ShouldLog() admits its severity. Each admitted record goes to the
// logger that SetLogger installed, StderrLogger until then. The severity
// filter is read from ANDROID_LOG_TAGS ("*:w", "quillmap:e *:i", ...); the
// default admits INFO and above.
#pragma once

#include <errno.h>

#include <functional>

#include "android-base/text_stream.h"

namespace android {
namespace base {

enum LogSeverity {
  VERBOSE = 0,
  DEBUG = 1,
  INFO = 2,
  WARNING = 3,
  ERROR = 4,
  FATAL_WITHOUT_ABORT = 5,
  FATAL = 6,
};

enum LogId {
  DEFAULT,
  MAIN,
  SYSTEM,
  RADIO,
  CRASH,
};

// Where records go: (log id, severity, tag, file or nullptr, line, text).
using LogFunction = std::function<void(LogId, LogSeverity, const char*,
                                       const char*, unsigned int, const char*)>;

// Writes one line to stderr: "<tag> <S> <file>:<line>] <text>", the file by
// its last path component; without a file "<tag> <S> <text>".
void StderrLogger(LogId, LogSeverity, const char* tag, const char* file,
                  unsigned int line, const char* message);

// Sends every later record to |logger|.
void SetLogger(LogFunction&& logger);

// True when a record of |severity| for |tag| (nullptr: the default tag)
// would be written. FATAL records are always written.
bool ShouldLog(LogSeverity severity, const char* tag);

// Saves errno on construction and restores it on destruction. Converts to
// true so that it can sit inside the logging macros' && chain.
class ErrnoRestorer {
 public:
  ErrnoRestorer() : saved_errno_(errno) {}
  ~ErrnoRestorer() { errno = saved_errno_; }
  ErrnoRestorer(const ErrnoRestorer&) = delete;
  ErrnoRestorer& operator=(const ErrnoRestorer&) = delete;
  explicit operator bool() const { return true; }

 private:
  int saved_errno_;
};

// One log record. The text is collected through stream() and written when
// the object is destroyed; |error| >= 0 appends ": " + strerror(error).
// A FATAL record ends the process after it is written.
class LogMessage {
 public:
  LogMessage(const char* file, unsigned int line, LogSeverity severity,
             const char* tag, int error);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  // What the callers stream into; see text_stream.h for the types it takes.
  TextStream& stream() { return buffer_; }

 private:
  const char* file_;
  unsigned int line_;
  LogSeverity severity_;
  const char* tag_;
  int error_;
  TextStream buffer_;
};

}  // namespace base
}  // namespace android

#define LOG_INTERNAL_(severity, error)                                       \
  ::android::base::ShouldLog(::android::base::severity, nullptr) &&          \
      ::android::base::ErrnoRestorer() &&                                    \
      ::android::base::LogMessage(__FILE__, __LINE__,                        \
                                  ::android::base::severity, nullptr, error) \
          .stream()

#define LOG(severity) LOG_INTERNAL_(severity, -1)
#define PLOG(severity) LOG_INTERNAL_(severity, errno)

#define CHECK(x)                                                              \
  (__builtin_expect(!!(x), 1)) ||                                             \
      ::android::base::LogMessage(__FILE__, __LINE__, ::android::base::FATAL, \
                                  nullptr, -1)                                \
              .stream()                                                       \
          << "Check failed: " #x << " "
