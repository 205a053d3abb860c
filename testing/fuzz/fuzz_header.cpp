// Fuzz target: the program's header classification and sizing
// (quillmap::ReservedSectors, HeaderText, MappedSectors).
//
// Input: the 4 header bytes, then the device size in bytes (8 bytes,
// little-endian) and a reserved sector count (4 bytes, little-endian);
// missing bytes read as zero.
//
// What must hold:
//   - ReservedSectors gives 4, 8 or nothing (which headers give which is
//     boot_region_test's table of literal cases);
//   - HeaderText is printable ASCII only, escapes exactly the bytes that are
//     not printable or are a backslash, as \xNN, and decodes back to the
//     header up to its first zero byte;
//   - MappedSectors, for the header's own reservation and for the arbitrary
//     one: nothing when size / 512 <= reserved, otherwise the whole sectors
//     after the reserved ones: (result + reserved) * 512 <= size <
//     (result + reserved + 1) * 512.
#include <optional>
#include <string>

#include "boot_region.h"
#include "fuzz_check.h"

using quillmap_fuzz::Quote;

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Printable(uint8_t byte) { return byte >= 0x20 && byte < 0x7f; }

void CheckText(const quillmap::Header& header) {
  const std::string text = quillmap::HeaderText(header);
  std::string raw(reinterpret_cast<const char*>(header.data()), header.size());
  raw = raw.substr(0, raw.find('\0'));
  const std::string detail = Quote(raw) + " as " + Quote(text);

  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(text[i]);
    FUZZ_CHECK(Printable(c), detail);
    if (c != '\\') {
      decoded.push_back(static_cast<char>(c));
      continue;
    }
    FUZZ_CHECK(i + 3 < text.size(), detail + ": escape cut short");
    FUZZ_CHECK(text[i + 1] == 'x', detail);
    const int high = HexValue(text[i + 2]);
    const int low = HexValue(text[i + 3]);
    FUZZ_CHECK(high >= 0 && low >= 0, detail);
    const uint8_t byte = static_cast<uint8_t>(high * 16 + low);
    FUZZ_CHECK(!Printable(byte) || byte == '\\',
               detail + ": a printable byte was escaped");
    decoded.push_back(static_cast<char>(byte));
    i += 3;
  }
  FUZZ_CHECK(decoded == raw, detail + " decodes to " + Quote(decoded));
}

void CheckReserved(const quillmap::Header& header) {
  const std::optional<uint32_t> reserved = quillmap::ReservedSectors(header);
  FUZZ_CHECK(!reserved || *reserved == 4 || *reserved == 8,
             Quote(std::string(header.begin(), header.end())) + " gave " +
                 std::to_string(*reserved));
}

void CheckMapped(uint64_t size, uint32_t reserved) {
  const std::optional<uint64_t> mapped =
      quillmap::MappedSectors(size, reserved);
  const std::string detail = "size " + std::to_string(size) + ", reserved " +
                             std::to_string(reserved) + ": " +
                             (mapped ? std::to_string(*mapped) : "nothing");
  if (size / quillmap::kSectorSize <= reserved) {
    FUZZ_CHECK(!mapped, detail);
    return;
  }
  FUZZ_CHECK(mapped.has_value(), detail);
  const unsigned __int128 sectors =
      static_cast<unsigned __int128>(*mapped) + reserved;
  FUZZ_CHECK(*mapped > 0, detail);
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
  CheckReserved(header);
  if (const std::optional<uint32_t> own = quillmap::ReservedSectors(header)) {
    CheckMapped(device_size, *own);
  }
  CheckMapped(device_size, reserved);
  return 0;
}
