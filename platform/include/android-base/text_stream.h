// The stand-in's light text stream, behind LogMessage::stream() and Join.
// Callers only stream into it through LOG, PLOG, CHECK and Join; they never
// name it, so they build unchanged against the real base library, whose
// stream is a std::ostream.
//
// Contract: formats each piece as a default-formatted std::ostream would:
// text (const char*, std::string, std::string_view) as is, the char types
// as one character, bool as "1" or "0", other integers (and unscoped
// enumerations, promoted) in decimal. A null const char* adds nothing (where
// a std::ostream would drop the rest of the line). Any other type does not
// compile. It is not a std::ostream because that brings the C++ locale
// machinery (about 450 KB) into the static program.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

namespace android {
namespace base {

class TextStream {
 public:
  TextStream& operator<<(const char* text) {
    if (text != nullptr) text_ += text;
    return *this;
  }
  TextStream& operator<<(std::string_view text) {
    text_ += text;
    return *this;
  }
  TextStream& operator<<(const std::string& text) {
    text_ += text;
    return *this;
  }
  TextStream& operator<<(char c) {
    text_ += c;
    return *this;
  }
  TextStream& operator<<(signed char c) {
    return *this << static_cast<char>(c);
  }
  TextStream& operator<<(unsigned char c) {
    return *this << static_cast<char>(c);
  }
  TextStream& operator<<(bool value) { return *this << (value ? '1' : '0'); }
  TextStream& operator<<(short value) { return Number(value); }
  TextStream& operator<<(unsigned short value) { return Number(value); }
  TextStream& operator<<(int value) { return Number(value); }
  TextStream& operator<<(unsigned int value) { return Number(value); }
  TextStream& operator<<(long value) { return Number(value); }
  TextStream& operator<<(unsigned long value) { return Number(value); }
  TextStream& operator<<(long long value) { return Number(value); }
  TextStream& operator<<(unsigned long long value) { return Number(value); }

  // Lets a streaming expression end an && chain, as a std::ostream does.
  explicit operator bool() const { return true; }

  const std::string& str() const { return text_; }

 private:
  template <typename T>
  TextStream& Number(T value) {
    // Enough for the 20 digits and the sign of any 64-bit value.
    char digits[24];
    const std::to_chars_result end =
        std::to_chars(digits, digits + sizeof(digits), value);
    text_.append(digits, end.ptr);
    return *this;
  }

  std::string text_;
};

}  // namespace base
}  // namespace android
