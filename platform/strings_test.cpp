#include <android-base/strings.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using android::base::Join;
using android::base::Split;
using V = std::vector<std::string>;

TEST(Split, EveryDelimiterSeparatesTwoFields) {
  EXPECT_EQ(Split("", " "), V({""}));
  EXPECT_EQ(Split("one", " "), V({"one"}));
  EXPECT_EQ(Split("a b", " "), V({"a", "b"}));
  EXPECT_EQ(Split("a  b", " "), V({"a", "", "b"}));
  EXPECT_EQ(Split(" a ", " "), V({"", "a", ""}));
  EXPECT_EQ(Split("a:b,c", ":,"), V({"a", "b", "c"}));
}

TEST(Join, RoundTripsSplit) {
  for (const std::string s : {"", "x", "a  b", " lead", "trail ", "a b c"}) {
    EXPECT_EQ(Join(Split(s, " "), " "), s);
  }
  EXPECT_EQ(Join(V{}, ","), "");
  EXPECT_EQ(Join(V{"a", "b"}, ','), "a,b");
}

}  // namespace
