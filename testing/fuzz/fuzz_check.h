// Shared by the fuzz targets: FUZZ_CHECK and FUZZ_CHECK_EQ turn a broken
// invariant into a crash that libFuzzer records, with the values shown;
// Reader decodes an input from its front; CheckRedacted is what redaction
// promises of a crypt line, for the redaction and for the walk that uses it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <type_traits>
#include <vector>

namespace quillmap_fuzz {

// Bytes as C-like text, non-printable ones as \xNN.
inline std::string Show(const std::string& bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\x%02x", c);
      out += escaped;
    }
  }
  return out + "\"";
}
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
std::string Show(T value) {
  return std::to_string(+value);
}

[[noreturn]] inline void Fail(const char* condition, const char* file, int line,
                              const std::string& detail) {
  fprintf(stderr, "%s:%d: invariant violated: %s\n  %s\n", file, line,
          condition, detail.c_str());
  fflush(stderr);
  __builtin_trap();
}

// |detail| is built only when the check fails.
#define FUZZ_CHECK(condition, detail)                                  \
  do {                                                                 \
    if (!(condition)) {                                                \
      ::quillmap_fuzz::Fail(#condition, __FILE__, __LINE__, (detail)); \
    }                                                                  \
  } while (0)

// |got| and |want| are evaluated again for the message.
#define FUZZ_CHECK_EQ(got, want, where)                                    \
  FUZZ_CHECK((got) == (want), std::string(where) + ": " + #got " " +       \
                                  ::quillmap_fuzz::Show(got) + ", want " + \
                                  ::quillmap_fuzz::Show(want))

// Consumes the input from the front; reads past its end give zero bytes, so
// every input decodes to something.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t Le(size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
      value |= static_cast<uint64_t>(Byte()) << (8 * i);
    return value;
  }
  std::string Bytes(size_t count) {
    const size_t n = count < size_ - pos_ ? count : size_ - pos_;
    std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return out;
  }
  std::string Rest() { return Bytes(size_ - pos_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The fields of |text| between single blanks, empty ones included.
inline std::vector<std::string> BlankFields(const std::string& text) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == ' ') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

// The crypt line |before| came back as |after|: the same blank-separated
// fields, of which at most two changed, each to "redacted": the second
// field, when there are two or more, and the key (the second non-empty one,
// wherever blanks put it) always do. |where| heads a failure's message.
inline void CheckRedacted(const std::string& before, const std::string& after,
                          const std::string& where) {
  const std::vector<std::string> held = BlankFields(before);
  const std::vector<std::string> given = BlankFields(after);
  const auto said = [&] {
    return where + ": " + Show(before) + " became " + Show(after);
  };
  FUZZ_CHECK(given.size() == held.size(), said());
  FUZZ_CHECK(given.size() < 2 || given[1] == "redacted", said());
  size_t changed = 0;
  size_t non_empty = 0;
  for (size_t i = 0; i < held.size(); ++i) {
    if (given[i] != held[i]) {
      ++changed;
      FUZZ_CHECK(given[i] == "redacted", "field " + Show(i) + ", " + said());
    }
    if (!held[i].empty() && ++non_empty == 2) {
      FUZZ_CHECK(given[i] == "redacted", "the key, " + said());
    }
  }
  FUZZ_CHECK(changed <= (held.size() < 2 ? 0u : 2u), said());
}

}  // namespace quillmap_fuzz
