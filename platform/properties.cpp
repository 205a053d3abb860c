// Read-only properties from build.prop-style files.
#include "android-base/properties.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "android-base/logging.h"
#include "android-base/strings.h"

namespace android {
namespace base {
namespace {

// The property files of an Android root, in the order the platform reads
// them: the first definition of a key wins.
constexpr const char* kDefaultPropertyFiles[] = {
    "/prop.default",        "/default.prop",
    "/system/build.prop",   "/system_ext/etc/build.prop",
    "/vendor/default.prop", "/vendor/build.prop",
    "/odm/etc/build.prop",  "/product/etc/build.prop",
};

std::vector<std::string> PropertyFiles() {
  if (const char* list = getenv("ANDROID_PROPERTY_FILES")) {
    return Split(list, ":");
  }
  return std::vector<std::string>(std::begin(kDefaultPropertyFiles),
                                  std::end(kDefaultPropertyFiles));
}

// Reads a whole file with plain open/read; a missing or unreadable file
// gives the empty text.
std::string ReadFileOrEmpty(const std::string& path) {
  std::string content;
  if (path.empty()) return content;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return content;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      content.clear();
      break;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return content;
}

std::string Trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

// Looks |key| up in one file's text; true with |*value| on a definition.
bool FindInText(const std::string& text, const std::string& key,
                std::string* value) {
  for (const std::string& raw : Split(text, "\n")) {
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (Trim(line.substr(0, eq)) != key) continue;
    *value = Trim(line.substr(eq + 1));
    return true;
  }
  return false;
}

}  // namespace

std::string GetProperty(const std::string& key,
                        const std::string& default_value) {
  const ErrnoRestorer errno_restorer;
  std::string value = default_value;
  if (!key.empty()) {
    for (const std::string& file : PropertyFiles()) {
      std::string found;
      if (FindInText(ReadFileOrEmpty(file), key, &found)) {
        value = found;
        break;
      }
    }
  }
  return value;
}

template <typename T>
T GetIntProperty(const std::string& key, T default_value, T min, T max) {
  const std::string text = GetProperty(key, "");
  size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return default_value;
  // Accumulate the magnitude in 64 unsigned bits, refusing overflow.
  uint64_t magnitude = 0;
  for (; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c < '0' || c > '9') return default_value;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (UINT64_MAX - digit) / 10) return default_value;
    magnitude = magnitude * 10 + digit;
  }
  T result;
  if (negative) {
    if (!std::numeric_limits<T>::is_signed) {
      if (magnitude != 0) return default_value;
      result = 0;
    } else {
      // -(min) as unsigned is the largest magnitude a negative T can have.
      uint64_t limit =
          static_cast<uint64_t>(-(std::numeric_limits<T>::min() + 1)) + 1;
      if (magnitude > limit) return default_value;
      // Built as -(m - 1) - 1 so that the most negative value never
      // passes through an overflowing positive one.
      result = magnitude == 0
                   ? T{0}
                   : static_cast<T>(-static_cast<int64_t>(magnitude - 1) - 1);
    }
  } else {
    if (magnitude > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
      return default_value;
    }
    result = static_cast<T>(magnitude);
  }
  if (result < min || result > max) return default_value;
  return result;
}

template int8_t GetIntProperty(const std::string&, int8_t, int8_t, int8_t);
template int16_t GetIntProperty(const std::string&, int16_t, int16_t, int16_t);
template int32_t GetIntProperty(const std::string&, int32_t, int32_t, int32_t);
template int64_t GetIntProperty(const std::string&, int64_t, int64_t, int64_t);
template uint8_t GetIntProperty(const std::string&, uint8_t, uint8_t, uint8_t);
template uint16_t GetIntProperty(const std::string&, uint16_t, uint16_t,
                                 uint16_t);
template uint32_t GetIntProperty(const std::string&, uint32_t, uint32_t,
                                 uint32_t);
template uint64_t GetIntProperty(const std::string&, uint64_t, uint64_t,
                                 uint64_t);

}  // namespace base
}  // namespace android
