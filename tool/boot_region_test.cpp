// The boot-region walk's parts: header classification, its log text and the
// mapped length. The walk itself is walk_test's table over the fake kernel.
#include "boot_region.h"

#include <gtest/gtest.h>
#include <string.h>

#include <optional>
#include <string>

namespace quillmap {
namespace {

Header H(const char* bytes) {
  Header h;
  memcpy(h.data(), bytes, 4);
  return h;
}

TEST(ReservedSectors, ClassifiesByExactBytes) {
  const struct {
    Header header;
    std::optional<uint32_t> reserved;
  } cases[] = {
      {H("UFS\0"), 8},
      {H("UFSx"), 8},
      {H("UFS9"), 8},
      {H("UFS\xff"), 8},
      {H("COMB"), 8},
      {H("EMMC"), 4},
      {H("COMb"), std::nullopt},
      {H("COM\0"), std::nullopt},
      {H("comb"), std::nullopt},
      {H("emmc"), std::nullopt},
      {H("ufs\0"), std::nullopt},
      {H("UF\0S"), std::nullopt},
      {H("EMMD"), std::nullopt},
      {H("\0\0\0\0"), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(HeaderText(c.header));
    EXPECT_EQ(ReservedSectors(c.header), c.reserved);
  }
}

TEST(HeaderText, EndsAtZeroAndEscapesUnprintableBytes) {
  EXPECT_EQ(HeaderText(H("\0\0\0\0")), "");
  EXPECT_EQ(HeaderText(H("AB\0C")), "AB");
  EXPECT_EQ(HeaderText(H("abcd")), "abcd");
  EXPECT_EQ(HeaderText(H("\x1b[2J")), "\\x1b[2J");
  EXPECT_EQ(HeaderText(H("A\nB\xff")), "A\\x0aB\\xff");
  EXPECT_EQ(HeaderText(H("\\x41")), "\\x5cx41");
  EXPECT_EQ(HeaderText(H("\x7f\x80 ~")), "\\x7f\\x80 ~");
}

TEST(MappedSectors, WholeSectorsAfterTheReservedOnes) {
  const struct {
    uint64_t size;
    uint32_t reserved;
    std::optional<uint64_t> sectors;
  } cases[] = {
      {4194304, 4, 8188},
      {4194304, 8, 8184},
      {4194304 + 511, 8, 8184},  // partial last sector not mapped
      {4194304 - 1, 8, 8183},
      {9 * 512ull, 8, 1},
      {8 * 512ull, 8, std::nullopt},  // nothing after the reserved area
      {8 * 512ull + 511, 8, std::nullopt},
      {100, 4, std::nullopt},
      {0, 4, std::nullopt},
      {3221225472, 8, 6291448},        // 3 GiB: beyond 32 bits
      {4398046511104, 8, 8589934584},  // 4 TiB
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(MappedSectors(c.size, c.reserved), c.sectors);
  }
}

}  // namespace
}  // namespace quillmap
