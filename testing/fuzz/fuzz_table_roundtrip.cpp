// Fuzz target: the table model and its DM_TABLE_LOAD encoding
// (android::dm::DmTable, DmTarget::Serialize, DmTargetLinear).
//
// Input: a run of targets, each one
//   kind      1 byte: bit 0 linear, else a target with a chosen type name;
//             bit 1 (chosen type only) makes it refuse to be added; bits 2-3
//             choose the start: 0 right after the previous target, 1 sector
//             0, 2 the next 8 bytes, 3 a gap of the next byte's sectors;
//   length    8 bytes, little-endian;
//   linear:   device name length (1 byte) and name, backing sector 8 bytes;
//   chosen:   type name length (1 byte, up to 31) and name, parameter length
//             (2 bytes, up to 1023) and text.
// NUL bytes are dropped from device names and parameter texts; type names
// keep them.
//
// What must hold: AddTarget takes a target exactly when it is Valid() and
// the table's sector count stays within 64 bits, and a refused target stays
// with the caller; the counts follow. An invalid table (no target, or the
// first not at sector 0) encodes as "". Otherwise the encoding, read back
// record by record, gives every target in order: start, length, status 0,
// the type name cut at its first NUL and at 15 bytes with zeros after it,
// the parameter text (the linear one "<device> <sector>") and its NUL, then
// at most 7 zero bytes to `next`, the record's length, a multiple of 8;
// name() and GetParameterString() are asked once each.
#include <libdm/dm_table.h>
#include <libdm/dm_target.h>
#include <linux/dm-ioctl.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "test_tables.h"

using android::dm::DmTable;
using android::dm::DmTarget;
using android::dm::DmTargetLinear;
using quillmap_fuzz::Show;

namespace {

// What a target added to the table should encode to (the type as the record
// holds it); only chosen targets count their calls.
struct Expected {
  uint64_t start, length;
  std::string type, params;
  int name_calls = 0, param_calls = 0;
  bool chosen = false;
};

std::string WithoutNul(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
  return s;
}

constexpr size_t kMaxTargets = 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // An invalid table is logged on every encoding; keep the output readable.
  setenv("ANDROID_LOG_TAGS", "*:s", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillmap_fuzz::Reader in(data, size);
  DmTable table;
  // Kept in a vector of stable places: the targets point at the counters.
  std::vector<std::unique_ptr<Expected>> added;
  uint64_t end = 0;  // the sector after the last target read
  uint64_t sectors = 0;

  while (!in.empty() && added.size() < kMaxTargets) {
    const uint8_t kind = in.Byte();
    const uint64_t length = in.Le(8);
    const int from = (kind >> 2) & 3;
    const uint64_t start = from == 0   ? end
                           : from == 1 ? 0
                           : from == 2 ? in.Le(8)
                                       : end + in.Byte();
    auto expected = std::make_unique<Expected>(Expected{start, length, "", ""});
    std::unique_ptr<DmTarget> target;
    const bool valid = (kind & 1) || !(kind & 2);
    if (kind & 1) {
      const std::string device = WithoutNul(in.Bytes(in.Byte()));
      const uint64_t backing = in.Le(8);
      expected->type = "linear";
      expected->params = device + " " + std::to_string(backing);
      auto linear =
          std::make_unique<DmTargetLinear>(start, length, device, backing);
      FUZZ_CHECK(linear->backing_device() == device &&
                     linear->backing_sector() == backing,
                 Show(device));
      target = std::move(linear);
    } else {
      const std::string type = in.Bytes(in.Byte() % 32);
      expected->params = WithoutNul(in.Bytes(in.Le(2) % 1024));
      expected->type = type.substr(0, type.find('\0')).substr(0, 15);
      expected->chosen = true;
      target = std::make_unique<quillmap_testing::TextTarget>(
          start, length, type, expected->params, valid, &expected->name_calls,
          &expected->param_calls);
    }
    end = start + length;

    DmTarget* const raw = target.get();
    const bool fits = length <= UINT64_MAX - sectors;
    const bool took = table.AddTarget(std::move(target));
    const std::string what = "target " + Show(added.size()) + " of length " +
                             Show(length) + " after " + Show(sectors);
    FUZZ_CHECK_EQ(took, valid && fits, what);
    if (took) {
      FUZZ_CHECK(target == nullptr, what + ": the table took it, yet not");
      sectors += length;
      added.push_back(std::move(expected));
    } else {
      FUZZ_CHECK(target.get() == raw, what + ": refused, yet taken away");
    }
    FUZZ_CHECK_EQ(table.target_count(), added.size(), what);
    FUZZ_CHECK_EQ(table.sector_count(), sectors, what);
  }

  const std::string records = table.Serialize();
  if (added.empty() || added[0]->start != 0) {
    FUZZ_CHECK(!table.valid(), "an invalid table counted as valid");
    FUZZ_CHECK(records.empty(), "an invalid table encoded to " + Show(records));
    return 0;
  }
  FUZZ_CHECK(table.valid(), "a valid table counted as invalid");

  size_t offset = 0;
  for (size_t i = 0; i < added.size(); ++i) {
    const Expected& want = *added[i];
    const std::string where = "record " + Show(i) + " at " + Show(offset);
    struct dm_target_spec spec;
    FUZZ_CHECK(records.size() - offset >= sizeof(spec), where + ": cut short");
    memcpy(&spec, records.data() + offset, sizeof(spec));
    FUZZ_CHECK_EQ(spec.sector_start, want.start, where);
    FUZZ_CHECK_EQ(spec.length, want.length, where);
    FUZZ_CHECK_EQ(spec.status, 0u, where);
    const size_t type_room = sizeof(spec.target_type);
    FUZZ_CHECK_EQ(std::string(spec.target_type, type_room),
                  want.type + std::string(type_room - want.type.size(), '\0'),
                  where);

    const size_t minimum = sizeof(spec) + want.params.size() + 1;
    FUZZ_CHECK(
        spec.next % 8 == 0 && spec.next >= minimum && spec.next - minimum < 8,
        where + ": next " + Show(spec.next) + " for " + Show(minimum));
    FUZZ_CHECK(records.size() - offset >= spec.next, where + ": cut short");
    const size_t body = spec.next - sizeof(spec);
    FUZZ_CHECK_EQ(records.substr(offset + sizeof(spec), body),
                  want.params + std::string(body - want.params.size(), '\0'),
                  where);
    FUZZ_CHECK(!want.chosen || (want.name_calls == 1 && want.param_calls == 1),
               where + ": name() asked " + Show(want.name_calls) +
                   " times, GetParameterString() " + Show(want.param_calls));
    offset += spec.next;
  }
  FUZZ_CHECK_EQ(offset, records.size(), "the records' end");
  return 0;
}
