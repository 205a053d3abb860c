// Split for the base library's string helpers (Join is a header template).
#include "android-base/strings.h"

namespace android {
namespace base {

std::vector<std::string> Split(const std::string& s,
                               const std::string& delimiters) {
  std::vector<std::string> fields;
  size_t begin = 0;
  for (;;) {
    size_t end = delimiters.empty() ? std::string::npos
                                    : s.find_first_of(delimiters, begin);
    if (end == std::string::npos) {
      fields.push_back(s.substr(begin));
      return fields;
    }
    fields.push_back(s.substr(begin, end - begin));
    begin = end + 1;
  }
}

}  // namespace base
}  // namespace android
