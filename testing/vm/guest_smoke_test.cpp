// Checks the real-kernel guest itself, not quillmap: what run-guest.sh
// promises a payload beyond the disks' names, headers and sizes (which the
// contract suite checks): the pattern after each header, and --file/--env
// delivery. Runs in the guest boot with the device-manager stand-in under
// mdev (cmake/QuillmapGuest.cmake), with its "contract" disks and the file
// and value that testing/vm/CMakeLists.txt registers.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "guest_disks.h"
#include "witness.h"

namespace {

using contract::ReadAt;

TEST(GuestDisks, CarryDistinctPatternsAfterTheHeader) {
  // A mapping that is off by a sector, or onto the wrong disk, must show in a
  // byte comparison: the pattern may not repeat per sector nor between disks,
  // and it reaches the end of a small disk.
  const quillmap_testing::GuestDisk& a = quillmap_testing::kContractDisks[0];
  const quillmap_testing::GuestDisk& b = quillmap_testing::kContractDisks[3];
  const std::string a0 = ReadAt(a.path, 4096, 512);
  const std::string a1 = ReadAt(a.path, 4096 + 512, 512);
  const std::string b0 = ReadAt(b.path, 4096, 512);
  const std::string tail =
      ReadAt(a.path, static_cast<off_t>(a.size) - 512, 512);
  ASSERT_EQ(a0.size(), 512u);
  ASSERT_EQ(a1.size(), 512u);
  ASSERT_EQ(b0.size(), 512u);
  ASSERT_EQ(tail.size(), 512u);
  EXPECT_NE(a0, a1);
  EXPECT_NE(a0, b0);
  EXPECT_NE(tail, std::string(512, '\0'));
}

TEST(GuestSetup, DeliversFilesAndEnvironment) {
  std::ifstream in("/etc/quillmap-smoke/greeting.txt");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "hello from the host\n");
  const char* env = getenv("QUILLMAP_SMOKE_VALUE");
  ASSERT_NE(env, nullptr);
  EXPECT_STREQ(env, "it's two words");
  const char* term = getenv("TERM");
  ASSERT_NE(term, nullptr);
  EXPECT_STREQ(term, "dumb");
}

}  // namespace
