#include "dm_request.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>

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

std::string ReplyBytes(uint32_t data_size, uint32_t data_start,
                       uint32_t target_count, const std::string& records) {
  DmRequest reply;
  reply.SetTable(records, target_count);
  reply.header()->data_size = data_size;
  reply.header()->data_start = data_start;
  return std::string(reply.bytes(), sizeof(struct dm_ioctl) + records.size());
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

DmClient::DmClient()
    : control_(open("/dev/device-mapper", O_RDWR | O_CLOEXEC)) {}

Result DmClient::Run(unsigned long cmd, DmRequest req) const {
  Result r{0, std::move(req)};
  if (ioctl(control_.get(), cmd, r.reply.bytes()) != 0) r.error = errno;
  return r;
}

DmRequest DmClient::Named(const std::string& name, uint32_t flags) {
  DmRequest req;
  req.SetName(name);
  req.header()->flags = flags;
  return req;
}

Result DmClient::Status(const std::string& name, uint32_t flags) const {
  return Run(DM_DEV_STATUS, Named(name, flags));
}

Result DmClient::Resume(const std::string& name) const {
  return Run(DM_DEV_SUSPEND, Named(name));
}

Result DmClient::Suspend(const std::string& name) const {
  return Run(DM_DEV_SUSPEND, Named(name, DM_SUSPEND_FLAG));
}

Result DmClient::Remove(const std::string& name) const {
  return Run(DM_DEV_REMOVE, Named(name));
}

Result DmClient::TableStatus(const std::string& name, uint32_t flags,
                             size_t size) const {
  DmRequest req(size);
  req.SetName(name);
  req.header()->flags = flags;
  return Run(DM_TABLE_STATUS, std::move(req));
}

std::vector<StatusRecord> DmClient::Table(const std::string& name,
                                          uint32_t flags) const {
  // Room for any table the tests load, so the reply is never cut short.
  constexpr size_t kReplySize = 65536;
  Result r = TableStatus(name, flags, kReplySize);
  if (r.error != 0) return {};
  return ParseStatus(r.reply);
}

std::vector<std::string> DmClient::List() const {
  // Room for the names of every device a test may hold at once.
  constexpr size_t kReplySize = 1 << 20;
  std::vector<std::string> names;
  Result r = Run(DM_LIST_DEVICES, DmRequest(kReplySize));
  if (r.error != 0) return names;
  const uint64_t end = std::min<uint64_t>(r->data_size, r.reply.capacity());
  uint64_t at = r->data_start;
  while (at + sizeof(struct dm_name_list) < end) {
    struct dm_name_list entry;
    memcpy(&entry, r.reply.bytes() + at, sizeof(entry));
    if (entry.dev == 0) break;  // the kernel's "no devices"
    const char* name = r.reply.bytes() + at + offsetof(dm_name_list, name);
    names.emplace_back(name,
                       strnlen(name, end - at - offsetof(dm_name_list, name)));
    if (entry.next == 0) break;
    at += entry.next;
  }
  return names;
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
