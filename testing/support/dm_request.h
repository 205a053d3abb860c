// The tests' raw device-mapper client: request buffers, a control descriptor
// that sends them, the one DM_TABLE_STATUS reply decoder, hand-made target
// records (malformed ones too) and the device manager's paths for a device.
// The contract suite drives the kernel with it; the library's tests on real
// kernels use it as the witness for what the library reports.
#pragma once

#include <android-base/unique_fd.h>
#include <linux/dm-ioctl.h>
#include <linux/ioctl.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace contract {

inline constexpr uint32_t kBareSize = offsetof(struct dm_ioctl, data);  // 305

// A request buffer of |size| bytes (at least sizeof(struct dm_ioctl)), zeroed,
// with version {4,0,0}, data_size |size| and data_start sizeof(dm_ioctl).
class DmRequest {
 public:
  explicit DmRequest(size_t size = sizeof(struct dm_ioctl));

  struct dm_ioctl* header() {
    return reinterpret_cast<struct dm_ioctl*>(words_.data());
  }
  const struct dm_ioctl* header() const {
    return reinterpret_cast<const struct dm_ioctl*>(words_.data());
  }
  char* bytes() { return reinterpret_cast<char*>(words_.data()); }
  const char* bytes() const {
    return reinterpret_cast<const char*>(words_.data());
  }
  size_t capacity() const { return words_.size() * sizeof(uint64_t); }

  void SetName(const std::string& name);
  void SetUuid(const std::string& uuid);
  // Puts |records| right after the header and sets data_size to the end of
  // them and target_count to |count|.
  void SetTable(const std::string& records, uint32_t count);

 private:
  std::vector<uint64_t> words_;
};

// A finished request: the errno (0 on success) and the buffer as the kernel
// left it.
struct Result {
  int error = 0;
  DmRequest reply;
  const struct dm_ioctl* operator->() const { return reply.header(); }
};

// One record of a DM_TABLE_STATUS reply.
struct StatusRecord {
  uint64_t offset;  // from data_start
  struct dm_target_spec spec;
  std::string text;
};

// Walks the reply's target_count records from data_start, following `next`
// (relative to data_start) within data_size. Stops early at a record that
// does not fit or a `next` that does not move forward, so the result may be
// shorter than target_count.
std::vector<StatusRecord> ParseStatus(const DmRequest& reply);

// A control descriptor of its own on /dev/device-mapper, opened at
// construction (ok() says whether that worked). Each call sends one request
// and hands back the reply; nothing is retried or checked.
class DmClient {
 public:
  DmClient();

  bool ok() const { return control_.ok(); }

  Result Run(unsigned long cmd, DmRequest req) const;
  // A bare request naming |name|.
  static DmRequest Named(const std::string& name, uint32_t flags = 0);

  Result Status(const std::string& name, uint32_t flags = 0) const;
  Result Resume(const std::string& name) const;
  Result Suspend(const std::string& name) const;
  Result Remove(const std::string& name) const;
  // DM_TABLE_STATUS with a buffer of |size| bytes.
  Result TableStatus(const std::string& name, uint32_t flags = 0,
                     size_t size = 16384) const;
  // The records of the live table (ParseStatus of TableStatus); with
  // DM_STATUS_TABLE_FLAG their table lines as the kernel holds them (keys
  // included), else their status lines. Empty when the request fails.
  std::vector<StatusRecord> Table(const std::string& name,
                                  uint32_t flags) const;
  // The names of all devices the kernel holds (DM_LIST_DEVICES).
  std::vector<std::string> List() const;

 private:
  android::base::unique_fd control_;
};

// A reply's bytes as a kernel could leave them: a header with these fields
// (and version 4), then |records|, nothing after them.
std::string ReplyBytes(uint32_t data_size, uint32_t data_start,
                       uint32_t target_count, const std::string& records);

// Where the device manager puts a device's node and its link.
inline std::string NodePath(uint32_t minor) {
  return "/dev/block/dm-" + std::to_string(minor);
}
inline std::string LinkPath(const std::string& uuid) {
  return "/dev/block/mapper/by-uuid/" + uuid;
}

// One dm_target_spec record with its parameter text, NUL and padding to 8.
// |next| 0 means the record's own length.
std::string Record(uint64_t start, uint64_t length, const std::string& type,
                   const std::string& params, uint32_t next = 0);

// The record's length once padded (40 + text + NUL, rounded up to 8).
inline uint64_t PaddedRecordSize(size_t text_length) {
  return (sizeof(struct dm_target_spec) + text_length + 1 + 7) & ~uint64_t{7};
}

}  // namespace contract
