// Shared helpers of the fuzz targets: the invariant check that turns a
// violation into a crash libFuzzer records, a printable quote of bytes for
// its message, a little-endian reader over the input, and the blank-separated
// fields of a table line.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace quillmap_fuzz {

// Bytes as C-like text, non-printable ones as \xNN.
inline std::string Quote(const std::string& bytes) {
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

// Run by Fail() before it traps, for a target to remove its scratch files
// (a trap skips the handlers of atexit).
inline void (*on_failure)() = nullptr;

[[noreturn]] inline void Fail(const char* condition, const char* file, int line,
                              const std::string& detail) {
  fprintf(stderr, "%s:%d: invariant violated: %s\n  %s\n", file, line,
          condition, detail.c_str());
  fflush(stderr);
  if (on_failure != nullptr) on_failure();
  __builtin_trap();
}

// Consumes the input from the front; reads past its end give zero bytes, so
// every input decodes to something.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t Le(size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i) {
      value |= static_cast<uint64_t>(Byte()) << (8 * i);
    }
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

}  // namespace quillmap_fuzz

#define FUZZ_CHECK(condition, detail)                                  \
  do {                                                                 \
    if (!(condition)) {                                                \
      ::quillmap_fuzz::Fail(#condition, __FILE__, __LINE__, (detail)); \
    }                                                                  \
  } while (0)
