// The fault switches at work; see faults.h.
#include "faults.h"

#include <errno.h>
#include <linux/dm-ioctl.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>

namespace fakedm {
namespace internal {

void FaultState::Set(const Faults& faults) {
  faults_ = faults;
  Restart();
}

void FaultState::Restart() {
  request_counts_.clear();
  control_eintr_used_ = 0;
  status_full_used_ = 0;
}

int FaultState::ControlOpenError() {
  if (faults_.control_open_eintr > control_eintr_used_) {
    ++control_eintr_used_;
    return EINTR;
  }
  return faults_.control_open_error;
}

int FaultState::RequestError(const std::string& name) {
  const int count = ++request_counts_[name];
  for (const RequestFault& f : faults_.requests) {
    if (f.request == name && (f.occurrence == 0 || f.occurrence == count))
      return f.error;
  }
  return 0;
}

int FaultState::IoError(const std::string& path, bool seek) const {
  const IoFault& f = seek ? faults_.seek : faults_.read;
  return !f.path.empty() && f.path == path ? f.error : 0;
}

void FaultState::EditReply(unsigned cmd, std::vector<char>& param,
                           size_t buffer_size, size_t* copy_out) {
  auto* io = reinterpret_cast<struct dm_ioctl*>(param.data());
  if (cmd == DM_DEV_CREATE_CMD) {
    if (faults_.create_target_count)
      io->target_count = faults_.create_target_count;
    if (faults_.create_open_count) io->open_count = faults_.create_open_count;
  } else if (cmd == DM_DEV_REMOVE_CMD && faults_.remove_without_uevent) {
    io->flags &= ~DM_UEVENT_GENERATED_FLAG;
  } else if (cmd == DM_TABLE_STATUS_CMD) {
    if (status_full_used_ < faults_.status_buffer_full) {
      ++status_full_used_;
      io->flags |= DM_BUFFER_FULL_FLAG;
      io->data_size = offsetof(struct dm_ioctl, data);
      *copy_out = io->data_size;
    }
    const size_t at = faults_.status_reply_offset;
    if (faults_.status_reply_set && at < buffer_size) {
      const size_t n = std::min(faults_.status_reply.size(), buffer_size - at);
      memcpy(param.data() + at, faults_.status_reply.data(), n);
      *copy_out = std::max(*copy_out, at + n);
    }
  }
}

}  // namespace internal
}  // namespace fakedm
