#include "log_sink.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "log_record.h"

namespace android {
namespace base {
namespace internal {
namespace {

// Maps one filter letter to the lowest severity it admits; -1 if unknown.
int ThresholdOf(char letter) {
  switch (letter) {
    case 'v':
      return VERBOSE;
    case 'd':
      return DEBUG;
    case 'i':
      return INFO;
    case 'w':
      return WARNING;
    case 'e':
      return ERROR;
    case 'f':
      return FATAL_WITHOUT_ABORT;
    case 's':
      return FATAL + 1;
    default:
      return -1;
  }
}

char LetterOf(LogSeverity severity) {
  static const char kLetters[] = "VDIWEFF";
  int index = static_cast<int>(severity);
  return (index >= 0 && index <= FATAL) ? kLetters[index] : '?';
}

}  // namespace

const char* DefaultTag() { return program_invocation_short_name; }

bool TagAdmits(const char* tag, LogSeverity severity) {
  if (severity >= FATAL) return true;
  const ErrnoRestorer errno_restorer;
  int threshold = INFO;
  int wildcard = -1;
  int specific = -1;
  if (const char* spec = getenv("ANDROID_LOG_TAGS")) {
    // Entries are separated by runs of blanks (the C locale's white space).
    static constexpr char kBlanks[] = " \t\n\v\f\r";
    for (const char* p = spec + strspn(spec, kBlanks); *p != '\0';
         p += strspn(p, kBlanks)) {
      const std::string_view entry(p, strcspn(p, kBlanks));
      p += entry.size();
      size_t colon = entry.rfind(':');
      if (colon == std::string_view::npos || colon + 2 != entry.size())
        continue;
      int level = ThresholdOf(entry[colon + 1]);
      if (level < 0) continue;
      const std::string_view name = entry.substr(0, colon);
      if (name == "*") {
        wildcard = level;
      } else if (tag != nullptr && name == tag) {
        specific = level;
      }
    }
  }
  if (specific >= 0) {
    threshold = specific;
  } else if (wildcard >= 0) {
    threshold = wildcard;
  }
  return static_cast<int>(severity) >= threshold;
}

void WriteRecord(const char* tag, LogSeverity severity, const char* file,
                 unsigned int line_number, const char* text) {
  const ErrnoRestorer errno_restorer;
  std::string line;
  line += tag != nullptr ? tag : DefaultTag();
  line += ' ';
  line += LetterOf(severity);
  line += ' ';
  if (file != nullptr) {
    line += quillmap::Basename(file);
    line += ':';
    line += std::to_string(line_number);
    line += "] ";
  }
  line += text;
  line += '\n';
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace internal
}  // namespace base
}  // namespace android
