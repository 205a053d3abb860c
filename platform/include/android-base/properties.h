// Read-only system properties in the style of the platform's base library.
//
// Properties come from build.prop-style files ("key=value" lines, "#"
// comments); for a key defined more than once the first definition wins.
// The files are those of an Android root (see README), or the colon-separated
// list in the environment variable ANDROID_PROPERTY_FILES. A missing or
// unreadable file counts as empty. Nothing is cached: every call reads anew.
#pragma once

#include <limits>
#include <string>

namespace android {
namespace base {

// The property's value without the blanks around it, or |default_value|
// when it is not defined.
std::string GetProperty(const std::string& key,
                        const std::string& default_value);

// The property's value (as GetProperty gives it) parsed as a whole decimal
// number with an optional sign, or |default_value| when it is undefined, not
// exactly such a number (a blank or any other character inside or after it
// included), out of T's range, or outside [min, max].
template <typename T>
T GetIntProperty(const std::string& key, T default_value,
                 T min = std::numeric_limits<T>::min(),
                 T max = std::numeric_limits<T>::max());

}  // namespace base
}  // namespace android
