// Fuzz target: android::dm::RedactTableInfo and DeviceMapper::GetTargetType
// on arbitrary records and table lines.
//
// Input: 16 bytes of target_type (zero-filled when the input is shorter),
// then the table line. A first byte of 0xff stands for "crypt" followed by
// zeros, so most inputs exercise the redaction itself.
//
// What must hold:
//   - GetTargetType is the type field up to its first NUL, at most 16 bytes;
//   - a line of any other type than "crypt" is left unchanged;
//   - a crypt line keeps its number of blank-separated fields and its blanks;
//     with two fields or more the second is "redacted", and so is the key,
//     the second non-empty field wherever blanks put it; at most those two
//     fields change, and a field that changes becomes "redacted".
// Which field comes out as what for given lines: the literal rows of
// RedactTableInfo's unit test (libdm/dm_table_query_test.cpp).
#include <libdm/dm.h>
#include <linux/dm-ioctl.h>
#include <string.h>

#include "fuzz_check.h"

using quillmap_fuzz::BlankFields;
using quillmap_fuzz::Quote;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillmap_fuzz::Reader in(data, size);
  struct dm_target_spec spec = {};
  const std::string type_bytes = in.Bytes(sizeof(spec.target_type));
  memcpy(spec.target_type, type_bytes.data(), type_bytes.size());
  if (!type_bytes.empty() && static_cast<uint8_t>(type_bytes[0]) == 0xff) {
    memset(spec.target_type, 0, sizeof(spec.target_type));
    memcpy(spec.target_type, "crypt", 5);
  }
  const std::string text = in.Rest();

  std::string expected_type;
  for (size_t i = 0; i < sizeof(spec.target_type) && spec.target_type[i]; ++i) {
    expected_type.push_back(spec.target_type[i]);
  }
  const std::string type = android::dm::DeviceMapper::GetTargetType(spec);
  FUZZ_CHECK(type == expected_type,
             Quote(type) + " vs " + Quote(expected_type));

  std::string redacted = text;
  android::dm::RedactTableInfo(spec, &redacted);
  if (type != "crypt") {
    FUZZ_CHECK(redacted == text, "type " + Quote(type) + ": " + Quote(text) +
                                     " became " + Quote(redacted));
    return 0;
  }

  const std::vector<std::string> before = BlankFields(text);
  const std::vector<std::string> after = BlankFields(redacted);
  const std::string detail = Quote(text) + " became " + Quote(redacted);
  FUZZ_CHECK(after.size() == before.size(), detail);
  if (before.size() < 2) {
    FUZZ_CHECK(redacted == text, detail);
    return 0;
  }
  FUZZ_CHECK(after[1] == "redacted", detail);
  size_t changed = 0;
  size_t non_empty = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    if (after[i] != before[i]) {
      ++changed;
      FUZZ_CHECK(after[i] == "redacted",
                 "field " + std::to_string(i) + ": " + detail);
    }
    // The key never reaches the output.
    if (!before[i].empty() && ++non_empty == 2) {
      FUZZ_CHECK(after[i] == "redacted", "the key: " + detail);
    }
  }
  FUZZ_CHECK(changed <= 2, detail);
  return 0;
}
