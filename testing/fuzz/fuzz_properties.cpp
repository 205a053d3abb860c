// Fuzz target: the property files and their reading through the public
// API (android::base::GetProperty, GetIntProperty).
//
// Input: a key up to the first newline, a value up to the second, then free
// text. The first property file holds " key = value \n", a decimal line
// "ro.fuzz.n=N" (N from the input's first eight
// bytes), then the free text;
// the second file, behind a missing one, holds the free text and
// "key=second".
//
// What must hold, for any input: GetProperty leaves errno alone and gives
// the fallback or a value without surrounding whitespace or newline; when
// the key can be defined (not empty, no "=", newline or surrounding
// whitespace, no leading "#") and the value has no newline or surrounding
// whitespace, the first definition wins: GetProperty gives the value.
// GetIntProperty gives the default or a value within its range, and a
// value other than the default only from a plain decimal (optional sign,
// digits); N itself reads back as N where it is in range, else as the
// default.
#include <android-base/properties.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <string>

#include "fuzz_check.h"
#include "temp_dir.h"

using quillmap_fuzz::Quote;

namespace {

struct Files {
  explicit Files(const char* base) : dir("quillmap-fuzz-properties", base) {}
  quillmap_testing::TempDir dir;
};
Files* files = nullptr;

void RemoveFiles() {
  delete files;
  files = nullptr;
}

// Replaces the property file |name| with |content|.
void WriteFile(const char* name, const std::string& content) {
  FUZZ_CHECK(!files->dir.File(name, content).empty(),
             std::string("cannot write ") + name);
}

bool IsSpace(char c) {
  return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr;
}

bool Bare(const std::string& s) {
  return s.find('\n') == std::string::npos &&
         (s.empty() || (!IsSpace(s.front()) && !IsSpace(s.back())));
}

bool PlainDecimal(const std::string& s) {
  const size_t digits = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
  return s.size() > digits &&
         s.find_first_not_of("0123456789", digits) == std::string::npos;
}

// GetIntProperty over [min, max] gives the default or a value in range, and
// not the default only from a plain decimal; |n|, when given, is the value
// written and must read back as itself within range.
template <typename T>
void CheckInt(const std::string& key, const std::string& value, T default_value,
              T min, T max, const int64_t* n = nullptr) {
  const T got = android::base::GetIntProperty<T>(key, default_value, min, max);
  const std::string where = "value " + Quote(value) + " in [" +
                            std::to_string(+min) + ", " + std::to_string(+max) +
                            "]: got " + std::to_string(+got);
  FUZZ_CHECK(got == default_value || (got >= min && got <= max), where);
  FUZZ_CHECK(got == default_value || PlainDecimal(value), where);
  if (n != nullptr) {
    const bool in_range =
        *n >= static_cast<int64_t>(min) && *n <= static_cast<int64_t>(max);
    FUZZ_CHECK(got == (in_range ? static_cast<T>(*n) : default_value), where);
  }
}

template <typename T>
void CheckInts(const std::string& key, const std::string& value,
               const int64_t* n = nullptr) {
  CheckInt<T>(key, value, 9, std::numeric_limits<T>::min(),
              std::numeric_limits<T>::max(), n);
  CheckInt<T>(key, value, 0, 10, 100, n);
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
  const std::string list = files->dir.Path("first.prop") + ":" +
                           files->dir.Path("missing.prop") + ":" +
                           files->dir.Path("second.prop");
  setenv("ANDROID_PROPERTY_FILES", list.c_str(), 1);
  atexit(RemoveFiles);
  quillmap_fuzz::on_failure = RemoveFiles;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int64_t n =
      static_cast<int64_t>(quillmap_fuzz::Reader(data, size).Le(8));
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t key_end = std::min(input.find('\n'), input.size());
  const std::string key = input.substr(0, key_end);
  const std::string rest = input.substr(std::min(key_end + 1, input.size()));
  const size_t value_end = std::min(rest.find('\n'), rest.size());
  const std::string value = rest.substr(0, value_end);
  const std::string text = rest.substr(std::min(value_end + 1, rest.size()));
  const std::string n_text = std::to_string(n);
  WriteFile("first.prop",
            " " + key + " = " + value + " \nro.fuzz.n=" + n_text + "\n" + text);
  WriteFile("second.prop", text + "\n" + key + "=second\n");

  const std::string fallback = "\x01unset";
  errno = 1234;
  const std::string got = android::base::GetProperty(key, fallback);
  FUZZ_CHECK(errno == 1234,
             "GetProperty changed errno to " + std::to_string(errno));
  FUZZ_CHECK(got == fallback || Bare(got),
             "key " + Quote(key) + ": got " + Quote(got));
  const bool definable = !key.empty() && key[0] != '#' &&
                         key.find('=') == std::string::npos && Bare(key);
  if (definable && Bare(value)) {
    FUZZ_CHECK(got == value, "key " + Quote(key) + ": got " + Quote(got) +
                                 ", want " + Quote(value));
  }

  CheckInts<int>(key, got);
  CheckInts<int64_t>(key, got);
  CheckInts<uint8_t>(key, got);
  if (key.find("ro.fuzz.n") != std::string::npos) return 0;  // redefined
  CheckInts<int>("ro.fuzz.n", n_text, &n);
  CheckInts<int64_t>("ro.fuzz.n", n_text, &n);
  CheckInts<uint8_t>("ro.fuzz.n", n_text, &n);
  return 0;
}
