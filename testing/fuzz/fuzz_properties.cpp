// Fuzz target: the property files and their reading through the public
// API (android::base::GetProperty, GetIntProperty).
//
// Input: the key up to the first newline, then the first property file up
// to the first 0x1e byte, then the second property file. The files are
// written to a private temporary folder and ANDROID_PROPERTY_FILES names
// them with a missing file between them.
//
// What must hold: GetProperty agrees with a plain reading of the files
// (lines split at newlines, surrounding whitespace dropped, blank lines and
// "#" lines skipped, key and value on either side of the first "=" with
// their own surrounding whitespace dropped, the first definition in file
// order wins, a missing file is empty) and leaves errno alone;
// GetIntProperty for int, int64_t and uint8_t, over the full range and a
// narrow one, agrees with a strict decimal reading of that value: optional
// sign, digits only, within range, else the default.
#include <android-base/properties.h>
#include <android-base/unique_fd.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "fuzz_check.h"
#include "temp_dir.h"

using quillmap_fuzz::Quote;

namespace {

struct Files {
  explicit Files(const char* base) : dir("quillmap-fuzz-properties", base) {}
  quillmap_testing::TempDir dir;
  std::string first = dir.Path("first.prop");
  std::string second = dir.Path("second.prop");
};
Files* files = nullptr;

void RemoveFiles() {
  delete files;
  files = nullptr;
}

void WriteFile(const std::string& path, const std::string& content) {
  android::base::unique_fd fd(
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  FUZZ_CHECK(fd.get() >= 0, "cannot write " + path);
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n =
        write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    FUZZ_CHECK(n > 0, "cannot write " + path);
    done += static_cast<size_t>(n);
  }
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

std::string Strip(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && IsSpace(s[begin])) ++begin;
  while (end > begin && IsSpace(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

std::optional<std::string> LookUp(const std::string& text,
                                  const std::string& key) {
  size_t begin = 0;
  for (;;) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    const std::string line = Strip(text.substr(begin, end - begin));
    const size_t eq = line.find('=');
    if (!line.empty() && line[0] != '#' && eq != std::string::npos &&
        Strip(line.substr(0, eq)) == key) {
      return Strip(line.substr(eq + 1));
    }
    if (end == text.size()) return std::nullopt;
    begin = end + 1;
  }
}

template <typename T>
T StrictInt(const std::string& text, T default_value, T min, T max) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return default_value;
  // Past 2^70 no value is in any range; stop growing there.
  const __int128 cap = static_cast<__int128>(1) << 70;
  __int128 value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return default_value;
    value = value * 10 + (text[i] - '0');
    if (value > cap) value = cap;
  }
  if (negative) value = -value;
  if (value < static_cast<__int128>(min) || value > static_cast<__int128>(max))
    return default_value;
  return static_cast<T>(value);
}

template <typename T>
void CheckInt(const std::string& key, const std::string& value, T default_value,
              T min, T max) {
  const T got = android::base::GetIntProperty<T>(key, default_value, min, max);
  const T want = StrictInt<T>(value, default_value, min, max);
  FUZZ_CHECK(got == want,
             "value " + Quote(value) + " in [" + std::to_string(+min) + ", " +
                 std::to_string(+max) + "]: got " + std::to_string(+got) +
                 ", want " + std::to_string(+want));
}

template <typename T>
void CheckIntFullRange(const std::string& key, const std::string& value,
                       T default_value) {
  CheckInt<T>(key, value, default_value, std::numeric_limits<T>::min(),
              std::numeric_limits<T>::max());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The files are rewritten on every input: in memory that is many times
  // faster than on disk. The folder goes into ANDROID_PROPERTY_FILES, so it
  // must not hold a colon.
  const char* base = "/dev/shm";
  if (access(base, W_OK) != 0) {
    base = getenv("TMPDIR");
    if (base == nullptr || *base == '\0' || strchr(base, ':') != nullptr) {
      base = "/tmp";
    }
  }
  files = new Files(base);
  FUZZ_CHECK(files->dir.ok(), std::string("cannot make a folder in ") + base);
  const std::string list = files->first + ":" +
                           files->dir.Path("missing.prop") + ":" +
                           files->second;
  setenv("ANDROID_PROPERTY_FILES", list.c_str(), 1);
  atexit(RemoveFiles);
  quillmap_fuzz::on_failure = RemoveFiles;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t key_end = std::min(input.find('\n'), input.size());
  const std::string key = input.substr(0, key_end);
  const std::string rest = input.substr(std::min(key_end + 1, input.size()));
  const size_t split = std::min(rest.find('\x1e'), rest.size());
  const std::string first = rest.substr(0, split);
  const std::string second = rest.substr(std::min(split + 1, rest.size()));
  WriteFile(files->first, first);
  WriteFile(files->second, second);

  std::optional<std::string> expected;
  if (!key.empty()) {
    expected = LookUp(first, key);
    if (!expected) expected = LookUp(second, key);
  }
  const std::string fallback = "\x01unset";
  errno = 1234;
  const std::string got = android::base::GetProperty(key, fallback);
  FUZZ_CHECK(errno == 1234,
             "GetProperty changed errno to " + std::to_string(errno));
  FUZZ_CHECK(got == expected.value_or(fallback),
             "key " + Quote(key) + ": got " + Quote(got) + ", want " +
                 Quote(expected.value_or(fallback)));

  const std::string value = expected.value_or("");
  CheckIntFullRange<int>(key, value, 17);
  CheckIntFullRange<int64_t>(key, value, -5);
  CheckIntFullRange<uint8_t>(key, value, 9);
  CheckInt<int>(key, value, -7, -1000, 1000);
  CheckInt<int64_t>(key, value, 3, std::numeric_limits<int64_t>::min() + 1, 0);
  CheckInt<uint8_t>(key, value, 0, 10, 200);
  return 0;
}
