// Fuzz target: the property files and their reading through the public
// API (android::base::GetProperty, GetIntProperty).
//
// Input: a key up to the first newline, a value up to the second, then free
// text. The first property file holds " key = value \n", a decimal line
// "ro.fuzz.n=N" (N from the input's first eight bytes), then the free text;
// the second file, behind a missing one, holds the free text and "key=second".
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
#include <android-base/unique_fd.h>
#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <iterator>
#include <limits>
#include <sstream>
#include <string>

#include "fuzz_check.h"

using quillmap_fuzz::Show;

namespace {

// The property files live in memory, rewritten on every input.
android::base::unique_fd first, second;

void WriteFile(const android::base::unique_fd& fd, const std::string& text) {
  FUZZ_CHECK(ftruncate(fd.get(), 0) == 0 &&
                 pwrite(fd.get(), text.data(), text.size(), 0) ==
                     static_cast<ssize_t>(text.size()),
             "cannot write a property file");
}

bool Bare(const std::string& s) {
  return s.find('\n') == std::string::npos &&
         (s.empty() || (!isspace(static_cast<unsigned char>(s.front())) &&
                        !isspace(static_cast<unsigned char>(s.back()))));
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
              T min, T max, const int64_t* n) {
  const T got = android::base::GetIntProperty<T>(key, default_value, min, max);
  const auto where = [&] {
    return "value " + Show(value) + " in [" + Show(min) + ", " + Show(max) +
           "]: got " + Show(got);
  };
  FUZZ_CHECK(got == default_value || (got >= min && got <= max), where());
  FUZZ_CHECK(got == default_value || PlainDecimal(value), where());
  if (n != nullptr) {
    const bool in_range =
        *n >= static_cast<int64_t>(min) && *n <= static_cast<int64_t>(max);
    FUZZ_CHECK(got == (in_range ? static_cast<T>(*n) : default_value), where());
  }
}

// Each type over its whole range with default 9, and over [10, 100] with
// default 0.
template <typename... T>
void CheckInts(const std::string& key, const std::string& value,
               const int64_t* n = nullptr) {
  (CheckInt<T>(key, value, 9, std::numeric_limits<T>::min(),
               std::numeric_limits<T>::max(), n),
   ...);
  (CheckInt<T>(key, value, 0, 10, 100, n), ...);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  first.reset(memfd_create("first.prop", MFD_CLOEXEC));
  second.reset(memfd_create("second.prop", MFD_CLOEXEC));
  FUZZ_CHECK(first.ok() && second.ok(), "memfd_create failed");
  const std::string fds = "/proc/self/fd/";
  const std::string list = fds + Show(first.get()) + ":" + fds +
                           "missing:" + fds + Show(second.get());
  setenv("ANDROID_PROPERTY_FILES", list.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int64_t n =
      static_cast<int64_t>(quillmap_fuzz::Reader(data, size).Le(8));
  std::istringstream lines(
      std::string(reinterpret_cast<const char*>(data), size));
  std::string key;
  std::string value;
  std::getline(lines, key);
  std::getline(lines, value);
  const std::string text{std::istreambuf_iterator<char>(lines), {}};
  const std::string n_text = std::to_string(n);
  WriteFile(first,
            " " + key + " = " + value + " \nro.fuzz.n=" + n_text + "\n" + text);
  WriteFile(second, text + "\n" + key + "=second\n");

  const std::string fallback = "\x01unset";
  errno = 1234;
  const std::string got = android::base::GetProperty(key, fallback);
  FUZZ_CHECK(errno == 1234, "GetProperty changed errno to " + Show(errno));
  FUZZ_CHECK(got == fallback || Bare(got),
             "key " + Show(key) + ": got " + Show(got));
  const bool definable = !key.empty() && key[0] != '#' &&
                         key.find('=') == std::string::npos && Bare(key);
  if (definable && Bare(value)) FUZZ_CHECK_EQ(got, value, "key " + Show(key));

  CheckInts<int, int64_t, uint8_t>(key, got);
  if (key.find("ro.fuzz.n") != std::string::npos) return 0;  // redefined
  CheckInts<int, int64_t, uint8_t>("ro.fuzz.n", n_text, &n);
  return 0;
}
