// Decimal numbers and whole files, as every part of the fake reads them.
//
// ParseDecimal() accepts only digits (and a leading '-' for signed types)
// that fit |T|; it leaves |out| unspecified on failure. ReadWholeFile() is
// false when |path| cannot be read.
#pragma once

#include <errno.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>

namespace fakedm {
namespace internal {

template <typename T>
bool ParseDecimal(const std::string& s, T* out) {
  constexpr bool kSigned = std::is_signed_v<T>;
  if (s.empty() ||
      s.find_first_not_of(kSigned ? "-0123456789" : "0123456789") !=
          std::string::npos) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  if constexpr (kSigned) {
    const long long v = strtoll(s.c_str(), &end, 10);
    *out = static_cast<T>(v);
    if (static_cast<long long>(*out) != v) return false;
  } else {
    const unsigned long long v = strtoull(s.c_str(), &end, 10);
    *out = static_cast<T>(v);
    if (static_cast<unsigned long long>(*out) != v) return false;
  }
  return errno == 0 && *end == '\0';
}

template <typename Container>
bool ReadWholeFile(const std::string& path, Container* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in),
              std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace internal
}  // namespace fakedm
