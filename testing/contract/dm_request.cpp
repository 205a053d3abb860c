#include "dm_request.h"

#include <string.h>

#include <algorithm>

namespace contract {

DmRequest::DmRequest(size_t size)
    : words_((std::max(size, sizeof(struct dm_ioctl)) + 7) / 8, 0) {
  struct dm_ioctl* h = header();
  h->version[0] = 4;
  h->data_size = static_cast<uint32_t>(size);
  h->data_start = sizeof(struct dm_ioctl);
}

void DmRequest::SetName(const std::string& name) {
  memset(header()->name, 0, sizeof(header()->name));
  memcpy(header()->name, name.data(),
         std::min(name.size(), sizeof(header()->name)));
}

void DmRequest::SetUuid(const std::string& uuid) {
  memset(header()->uuid, 0, sizeof(header()->uuid));
  memcpy(header()->uuid, uuid.data(),
         std::min(uuid.size(), sizeof(header()->uuid)));
}

void DmRequest::SetTable(const std::string& records, uint32_t count) {
  const size_t end = sizeof(struct dm_ioctl) + records.size();
  if (capacity() < end) words_.resize((end + 7) / 8, 0);
  memcpy(bytes() + sizeof(struct dm_ioctl), records.data(), records.size());
  header()->data_start = sizeof(struct dm_ioctl);
  header()->data_size = static_cast<uint32_t>(end);
  header()->target_count = count;
}

std::vector<StatusRecord> ParseStatus(const DmRequest& reply) {
  std::vector<StatusRecord> out;
  const struct dm_ioctl* h = reply.header();
  const uint64_t end = std::min<uint64_t>(h->data_size, reply.capacity());
  uint64_t offset = 0;
  for (uint32_t i = 0; i < h->target_count; ++i) {
    const uint64_t at = h->data_start + offset;
    if (at + sizeof(struct dm_target_spec) > end) break;
    StatusRecord r;
    r.offset = offset;
    memcpy(&r.spec, reply.bytes() + at, sizeof(r.spec));
    const char* text = reply.bytes() + at + sizeof(r.spec);
    const size_t room = end - at - sizeof(r.spec);
    const size_t len = strnlen(text, room);
    if (len == room) break;
    r.text.assign(text, len);
    out.push_back(r);
    // A `next` that does not move forward ends the walk.
    if (r.spec.next <= offset) break;
    offset = r.spec.next;
  }
  return out;
}

std::string Record(uint64_t start, uint64_t length, const std::string& type,
                   const std::string& params, uint32_t next) {
  struct dm_target_spec spec = {};
  spec.sector_start = start;
  spec.length = length;
  strncpy(spec.target_type, type.c_str(), sizeof(spec.target_type) - 1);
  std::string record(sizeof(spec), '\0');
  record += params;
  record.resize(PaddedRecordSize(params.size()), '\0');
  spec.next = next ? next : static_cast<uint32_t>(record.size());
  memcpy(&record[0], &spec, sizeof(spec));
  return record;
}

}  // namespace contract
