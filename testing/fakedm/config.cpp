// The FAKEDM_* environment variables and the fault switches at work.
#include "config.h"

#include <errno.h>
#include <linux/dm-ioctl.h>
#include <stddef.h>
#include <string.h>

#include <algorithm>
#include <sstream>
#include <type_traits>

#include "kernel.h"
#include "text.h"

namespace fakedm {
namespace internal {
namespace {

bool ParseCount(const std::string& text, long max, long* out) {
  uint64_t n = 0;
  if (!ParseDecimal(text, &n) || n > static_cast<uint64_t>(max)) return false;
  *out = static_cast<long>(n);
  return true;
}

bool KnownRequest(const std::string& name) {
  for (unsigned cmd = 0; !CommandName(cmd).empty(); ++cmd) {
    if (CommandName(cmd) == name) return true;
  }
  return false;
}

// An errno from its name ("EBUSY").
bool ParseErrno(const std::string& text, int* out) {
  for (int e = 1; e < 4096; ++e) {
    const char* name = strerrorname_np(e);
    if (name && text == name) {
      *out = e;
      return true;
    }
  }
  return false;
}

// FAKEDM_FAIL's value: "REQ=ERR[@N],...", REQ a request's full name.
bool ParseRequestFaults(const std::string& text,
                        std::vector<RequestFault>* out) {
  std::vector<RequestFault> faults;
  std::istringstream is(text);
  std::string item;
  while (std::getline(is, item, ',')) {
    if (item.empty()) continue;
    const size_t eq = item.find('=');
    if (eq == std::string::npos) return false;
    RequestFault f;
    f.request = item.substr(0, eq);
    if (!KnownRequest(f.request)) return false;
    std::string err = item.substr(eq + 1);
    const size_t at = err.find('@');
    if (at != std::string::npos) {
      long n = 0;
      if (!ParseCount(err.substr(at + 1), 1L << 30, &n) || n == 0) return false;
      f.occurrence = static_cast<int>(n);
      err.resize(at);
    }
    if (!ParseErrno(err, &f.error)) return false;
    faults.push_back(f);
  }
  *out = std::move(faults);
  return true;
}

// "PATH=ERR": a path as the program names it, and an errno.
bool ParseIoFault(const std::string& text, IoFault* out) {
  const size_t eq = text.rfind('=');
  if (eq == std::string::npos || eq == 0 || text[0] != '/') return false;
  out->path = text.substr(0, eq);
  return ParseErrno(text.substr(eq + 1), &out->error);
}

}  // namespace

bool ReadSettings(const GetEnv& getenv, Settings* out, std::string* error) {
  Settings s;
  auto var = [&getenv](const char* name) -> const char* {
    const char* v = getenv(name);
    return v && *v ? v : nullptr;
  };
  auto bad = [error](const char* name) {
    *error = std::string("malformed ") + name;
    return false;
  };
  // A number variable; unset, |field| keeps its default.
  auto number = [&](const char* name, long max, auto* field) {
    const char* v = var(name);
    long n = 0;
    if (v && !ParseCount(v, max, &n)) return bad(name);
    if (v) *field = static_cast<std::remove_pointer_t<decltype(field)>>(n);
    return true;
  };
  if (const char* v = var("FAKEDM_ROOT")) s.root = v;
  if (const char* v = var("FAKEDM_FAIL");
      v && !ParseRequestFaults(v, &s.faults.requests)) {
    return bad("FAKEDM_FAIL");
  }
  if (const char* v = var("FAKEDM_CONTROL_OPEN_FAIL");
      v && !ParseErrno(v, &s.faults.control_open_error)) {
    return bad("FAKEDM_CONTROL_OPEN_FAIL");
  }
  for (auto [name, fault] : {std::pair("FAKEDM_READ_FAIL", &s.faults.read),
                             std::pair("FAKEDM_LSEEK_FAIL", &s.faults.seek)}) {
    if (const char* v = var(name); v && !ParseIoFault(v, fault))
      return bad(name);
  }
  Faults& f = s.faults;
  DeviceManager& d = s.device_manager;
  constexpr long kLarge = 1L << 30;
  constexpr long kLongestDelayMs = 1L << 24;
  if (!number("FAKEDM_CONTROL_OPEN_EINTR", kLarge, &f.control_open_eintr) ||
      !number("FAKEDM_REMOVE_NO_UEVENT", 1, &f.remove_without_uevent) ||
      !number("FAKEDM_CREATE_TARGET_COUNT", UINT32_MAX,
              &f.create_target_count) ||
      !number("FAKEDM_CREATE_OPEN_COUNT", INT32_MAX, &f.create_open_count) ||
      !number("FAKEDM_STATUS_BUFFER_FULL", kLarge, &f.status_buffer_full) ||
      !number("FAKEDM_DEVMGR", 1, &d.enabled) ||
      !number("FAKEDM_DEVMGR_DELAY_MS", kLongestDelayMs, &d.delay_ms) ||
      !number("FAKEDM_LINK_DELAY_MS", kLongestDelayMs, &d.link_delay_ms)) {
    return false;
  }
  if (const char* v = var("FAKEDM_STATUS_REPLY")) {
    if (!ReadWholeFile(std::string(v), &f.status_reply))
      return bad("FAKEDM_STATUS_REPLY (unreadable)");
    f.status_reply_set = true;
  }
  *out = std::move(s);
  return true;
}

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
    if (faults_.status_reply_set) {
      const size_t n = std::min(faults_.status_reply.size(), buffer_size);
      memcpy(param.data(), faults_.status_reply.data(), n);
      *copy_out = std::max(*copy_out, n);
    }
  }
}

}  // namespace internal
}  // namespace fakedm
