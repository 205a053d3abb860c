// Fuzz target: the program's header classification and sizing
// (quillmap::ReservedSectors, HeaderText, MappedSectors).
//
// Input: the 4 header bytes, then the device size in bytes (8 bytes,
// little-endian) and a reserved sector count (4 bytes, little-endian);
// missing bytes read as zero.
//
// What must hold: ReservedSectors gives 4, 8 or nothing (which header gives
// which: boot_region_test's literal cases); HeaderText is printable ASCII,
// escapes as \xNN exactly the bytes that are not printable or a backslash,
// and decodes back to the header up to its first zero byte; MappedSectors,
// for the header's own reservation and for the input's: nothing when
// size / 512 <= reserved, else every whole sector after the reserved ones.
#include <algorithm>
#include <optional>
#include <string>

#include "boot_region.h"
#include "fuzz_check.h"

using quillmap_fuzz::Show;

namespace {

bool Printable(uint8_t byte) { return byte >= 0x20 && byte < 0x7f; }

void CheckText(const quillmap::Header& header) {
  const std::string text = quillmap::HeaderText(header);
  const std::string raw(header.begin(),
                        std::find(header.begin(), header.end(), 0));
  const std::string detail = Show(raw) + " as " + Show(text);

  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    FUZZ_CHECK(Printable(c), detail);
    if (c != '\\') {
      decoded.push_back(static_cast<char>(c));
      continue;
    }
    const std::string hex = text.substr(i + 1, 3);
    FUZZ_CHECK(
        hex.size() == 3 && hex[0] == 'x' &&
            hex.find_first_not_of("0123456789abcdef", 1) == std::string::npos,
        detail + ": escape " + Show(hex));
    const auto byte =
        static_cast<uint8_t>(std::stoul(hex.substr(1), nullptr, 16));
    FUZZ_CHECK(!Printable(byte) || byte == '\\',
               detail + ": a printable byte was escaped");
    decoded.push_back(static_cast<char>(byte));
    i += 3;
  }
  FUZZ_CHECK_EQ(decoded, raw, detail);
}

void CheckMapped(uint64_t size, uint32_t reserved) {
  const std::optional<uint64_t> mapped =
      quillmap::MappedSectors(size, reserved);
  const std::string detail = "size " + Show(size) + ", reserved " +
                             Show(reserved) + ": " +
                             (mapped ? Show(*mapped) : "nothing");
  FUZZ_CHECK_EQ(mapped.has_value(), size / quillmap::kSectorSize > reserved,
                detail);
  if (!mapped) return;
  const unsigned __int128 sectors =
      static_cast<unsigned __int128>(*mapped) + reserved;
  FUZZ_CHECK(sectors * quillmap::kSectorSize <= size, detail);
  FUZZ_CHECK((sectors + 1) * quillmap::kSectorSize > size,
             detail + ": a whole sector is left out");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillmap_fuzz::Reader in(data, size);
  quillmap::Header header;
  for (uint8_t& byte : header) byte = in.Byte();
  const uint64_t device_size = in.Le(8);
  const uint32_t reserved = static_cast<uint32_t>(in.Le(4));

  CheckText(header);
  const std::optional<uint32_t> own = quillmap::ReservedSectors(header);
  FUZZ_CHECK(
      !own || *own == 4 || *own == 8,
      Show(std::string(header.begin(), header.end())) + " gave " + Show(*own));
  if (own) CheckMapped(device_size, *own);
  CheckMapped(device_size, reserved);
  return 0;
}
