// Fuzz target: the walk over a DM_TABLE_STATUS reply
// (android::dm::internal::WalkTableStatusReply) on arbitrary bytes.
//
// Input: byte 0 is a mode, bytes 1-4 the request flags (little-endian;
// DM_STATUS_TABLE_FLAG asks for table lines, with crypt keys redacted).
// With mode bit 3 the rest of the input is the whole reply, header included.
// Otherwise bytes 5-16 are data_size, data_start and target_count, and the
// reply is a header holding them (ReplyBytes) followed by the rest of the
// input. Unless mode bits 0, 1 and 2 ask for them raw, data_start and
// data_size are brought to within the reply (or just past it) and
// target_count below 16, so that most inputs reach records.
//
// What must hold, whatever the reply: at most target_count entries; the
// first entry is the record at data_start and each next one the record at
// data_start + the previous record's `next`, all of it inside the reply and
// before data_size; an entry's text is that record's bytes up to the next
// record, the data end or the first NUL, on request redacted as CheckRedacted
// says of a crypt line; nothing follows an entry whose `next` does not lead
// forward; and the walk stops early only at a record that does not fit or
// after one that does not lead forward.
#include <linux/dm-ioctl.h>
#include <string.h>

#include <algorithm>

#include "dm_request.h"
#include "fuzz_check.h"
#include "table_status.h"

using android::dm::IDeviceMapper;
using quillmap_fuzz::Show;

constexpr size_t kSpecSize = sizeof(struct dm_target_spec);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillmap_fuzz::Reader in(data, size);
  const uint8_t mode = in.Byte();
  const unsigned int flags = static_cast<unsigned int>(in.Le(4));

  std::string reply;
  if (mode & 8) {
    reply = in.Rest();
  } else {
    uint32_t data_size = static_cast<uint32_t>(in.Le(4));
    uint32_t data_start = static_cast<uint32_t>(in.Le(4));
    uint32_t target_count = static_cast<uint32_t>(in.Le(4));
    const std::string body = in.Rest();
    const uint64_t span = sizeof(struct dm_ioctl) + body.size() + 16;
    if (!(mode & 1)) data_start = static_cast<uint32_t>(data_start % span);
    if (!(mode & 2)) data_size = static_cast<uint32_t>(data_size % span);
    if (!(mode & 4)) target_count %= 16;
    reply = contract::ReplyBytes(data_size, data_start, target_count, body);
  }
  // A fresh copy holds exactly the reply's bytes, so that AddressSanitizer
  // sees a read past them.
  const std::string exact(reply.data(), reply.size());

  std::vector<IDeviceMapper::TargetInfo> table;
  android::dm::internal::WalkTableStatusReply(exact, flags, &table);

  struct dm_ioctl io = {};  // a reply shorter than this holds no target
  if (reply.size() >= sizeof(io)) memcpy(&io, reply.data(), sizeof(io));
  const size_t data_end = std::min<size_t>(io.data_size, reply.size());
  const auto fits = [&](size_t offset) {
    return offset <= data_end && data_end - offset >= kSpecSize;
  };

  FUZZ_CHECK(table.size() <= io.target_count, Show(table.size()) +
                                                  " entries for target_count " +
                                                  Show(io.target_count));

  size_t offset = io.data_start;
  bool forward = true;
  for (size_t i = 0; i < table.size(); ++i) {
    const IDeviceMapper::TargetInfo& entry = table[i];
    const std::string where = "entry " + Show(i) + " at offset " + Show(offset);
    FUZZ_CHECK(forward, where + " follows a record that leads nowhere");
    FUZZ_CHECK(fits(offset),
               where + " does not fit before the data end " + Show(data_end));
    FUZZ_CHECK(memcmp(&entry.spec, reply.data() + offset, kSpecSize) == 0,
               where + ": the record differs from the reply's bytes");

    const size_t next = static_cast<size_t>(io.data_start) + entry.spec.next;
    const size_t text_begin = offset + kSpecSize;
    std::string text = reply.substr(
        text_begin,
        std::max(std::min(next, data_end), text_begin) - text_begin);
    text = text.substr(0, text.find('\0'));
    if ((flags & DM_STATUS_TABLE_FLAG) &&
        android::dm::DeviceMapper::GetTargetType(entry.spec) == "crypt") {
      quillmap_fuzz::CheckRedacted(text, entry.data, where);
    } else {
      FUZZ_CHECK_EQ(entry.data, text, where);
    }
    forward = next > offset;
    offset = next;
  }

  // Fewer entries than target_count: the walk must have met a record that
  // does not fit, or followed one that does not lead forward.
  FUZZ_CHECK(table.size() == io.target_count || !forward || !fits(offset),
             Show(table.size()) + " of " + Show(io.target_count) +
                 " entries, yet the record at " + Show(offset) + " fits");
  return 0;
}
