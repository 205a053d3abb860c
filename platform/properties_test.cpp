// Properties from build.prop files: first definition wins, unreadable files
// are empty, integers parse strictly.
#include <android-base/properties.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "temp_dir.h"

namespace {

using android::base::GetIntProperty;
using android::base::GetProperty;

class PropertiesTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.ok()); }
  void TearDown() override { unsetenv("ANDROID_PROPERTY_FILES"); }
  std::string Write(const std::string& name, const std::string& text) {
    return dir_.File(name, text);
  }
  void Use(const std::string& files) {
    setenv("ANDROID_PROPERTY_FILES", files.c_str(), 1);
  }
  quillmap_testing::TempDir dir_{"properties_test"};
};

TEST_F(PropertiesTest, FirstDefinitionWinsAcrossAndWithinFiles) {
  const std::string a = Write("a.prop",
                              "# comment\n"
                              "\n"
                              "ro.build.version.sdk=29\n"
                              "ro.build.version.sdk=33\n"
                              "  ro.spaced  =  value with blanks  \n"
                              "ro.build.ab_update=\n"
                              "no equals sign here\n");
  const std::string b =
      Write("b.prop", "ro.build.version.sdk=30\nro.only.b=yes");
  // A missing file and a directory (it cannot be read as a file) count as
  // empty.
  Use(dir_.Path("missing.prop") + ":" + dir_.path() + ":" + a + ":" + b);
  EXPECT_EQ(GetProperty("ro.build.version.sdk", "x"), "29");
  EXPECT_EQ(GetProperty("ro.only.b", ""), "yes");
  EXPECT_EQ(GetProperty("ro.spaced", ""), "value with blanks");
  EXPECT_EQ(GetProperty("ro.build.ab_update", "dflt"), "");  // defined empty
  EXPECT_EQ(GetProperty("ro.absent", "dflt"), "dflt");
  EXPECT_EQ(GetProperty("# comment", "dflt"), "dflt");
  Use(dir_.path());
  EXPECT_EQ(GetProperty("ro.anything", "default"), "default");
  Use("");
  EXPECT_EQ(GetProperty("ro.only.b", "default"), "default");
}

TEST_F(PropertiesTest, IntegersParseStrictly) {
  const struct {
    const char* value;
    int expected;  // with default 7, range INT_MIN..INT_MAX
  } cases[] = {
      {"29", 29},
      {"-5", -5},
      {"+12", 12},
      {"0", 0},
      {"-0", 0},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", 7},
      {"-2147483649", 7},
      {"99999999999999999999", 7},
      {"", 7},
      {"-", 7},
      {"+", 7},
      {"12abc", 7},
      {"0x1f", 7},
      {"1.5", 7},
      {"--1", 7},
      {"1 2", 7},  // a blank inside the value, after the key=value trim
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    Use(Write("int.prop", std::string("ro.n=") + c.value + "\n"));
    EXPECT_EQ(GetIntProperty<int>("ro.n", 7, INT32_MIN, INT32_MAX), c.expected);
  }
  Use(Write("int.prop", "other=1\n"));
  EXPECT_EQ(GetIntProperty<int>("ro.n", 7), 7);
}

TEST_F(PropertiesTest, IntegersOutsideTheRangeGiveTheDefault) {
  Use(Write("int.prop", "ro.n=30\nro.m=-1\nro.big=18446744073709551615\n"));
  EXPECT_EQ(GetIntProperty<int>("ro.n", 0, 0, 29), 0);
  EXPECT_EQ(GetIntProperty<int>("ro.n", 0, 30, 30), 30);
  EXPECT_EQ(GetIntProperty<unsigned>("ro.m", 5u), 5u);
  EXPECT_EQ(GetIntProperty<uint64_t>("ro.big", uint64_t{1}), UINT64_MAX);
  EXPECT_EQ(GetIntProperty<int64_t>("ro.big", int64_t{1}), 1);
  EXPECT_EQ(GetIntProperty<int8_t>("ro.n", int8_t{1}), 30);
}

}  // namespace
