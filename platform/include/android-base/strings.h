// String helpers in the style of the platform's base library.
#pragma once

#include <string>
#include <vector>

#include "android-base/text_stream.h"

namespace android {
namespace base {

// Splits |s| at every character found in |delimiters|. Adjacent delimiters
// give empty fields; an empty |s| gives one empty field.
std::vector<std::string> Split(const std::string& s,
                               const std::string& delimiters);

// Joins the elements of |things| with |separator| between them, each
// formatted as a default std::ostream would (text_stream.h).
template <typename ContainerT, typename SeparatorT>
std::string Join(const ContainerT& things, SeparatorT separator) {
  if (things.empty()) return "";
  TextStream result;
  auto it = things.begin();
  result << *it;
  for (++it; it != things.end(); ++it) result << separator << *it;
  return result.str();
}

}  // namespace base
}  // namespace android
