// Fuzz target: android::dm::RedactTableInfo and DeviceMapper::GetTargetType
// on arbitrary records and table lines.
//
// Input: 16 bytes of target_type (zero-filled when the input is shorter),
// then the table line. A first byte of 0xff stands for "crypt" followed by
// zeros, so most inputs exercise the redaction itself.
//
// What must hold: GetTargetType is the type field up to its first NUL, at
// most 16 bytes; a line of any other type than "crypt" is left unchanged; a
// crypt line is redacted as CheckRedacted says. Which field comes out as what
// for given lines: the literal rows of RedactTableInfo's unit test
// (libdm/dm_table_query_test.cpp).
#include <libdm/dm.h>
#include <linux/dm-ioctl.h>
#include <string.h>

#include "fuzz_check.h"

using quillmap_fuzz::Show;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillmap_fuzz::Reader in(data, size);
  struct dm_target_spec spec = {};
  const std::string type_bytes = in.Bytes(sizeof(spec.target_type));
  memcpy(spec.target_type, type_bytes.data(), type_bytes.size());
  if (!type_bytes.empty() && static_cast<uint8_t>(type_bytes[0]) == 0xff) {
    strncpy(spec.target_type, "crypt", sizeof(spec.target_type));
  }
  const std::string text = in.Rest();
  const std::string type = android::dm::DeviceMapper::GetTargetType(spec);
  FUZZ_CHECK_EQ(
      type,
      std::string(spec.target_type,
                  strnlen(spec.target_type, sizeof(spec.target_type))),
      "the type field");

  std::string redacted = text;
  android::dm::RedactTableInfo(spec, &redacted);
  if (type == "crypt") {
    quillmap_fuzz::CheckRedacted(text, redacted, "crypt");
  } else {
    FUZZ_CHECK_EQ(redacted, text, "type " + Show(type));
  }
  return 0;
}
