#include "table_status.h"

#include <linux/dm-ioctl.h>
#include <string.h>

#include <algorithm>

namespace android {
namespace dm {
namespace internal {

void WalkTableStatusReply(const std::string& reply, unsigned int flags,
                          std::vector<IDeviceMapper::TargetInfo>* table) {
  struct dm_ioctl io;
  if (reply.size() < sizeof(io)) return;
  memcpy(&io, reply.data(), sizeof(io));
  const size_t data_end = std::min<size_t>(io.data_size, reply.size());
  const size_t record_size = sizeof(struct dm_target_spec);
  size_t cursor = io.data_start;
  for (uint32_t i = 0; i < io.target_count; ++i) {
    if (cursor > data_end || data_end - cursor < record_size) break;
    struct dm_target_spec record;
    memcpy(&record, reply.data() + cursor, record_size);
    // On this request `next` counts from data_start, not from the record.
    size_t next = static_cast<size_t>(io.data_start) + record.next;
    if (next > data_end) next = data_end;
    std::string data;
    if (next > cursor + record_size) {
      const char* text = reply.data() + cursor + record_size;
      data.assign(text, strnlen(text, next - cursor - record_size));
    }
    if (flags & DM_STATUS_TABLE_FLAG) RedactTableInfo(record, &data);
    table->emplace_back(record, data);
    if (next <= cursor) break;
    cursor = next;
  }
}

}  // namespace internal
}  // namespace dm
}  // namespace android
