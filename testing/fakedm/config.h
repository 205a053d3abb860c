// The fake's configuration: its settings as the FAKEDM_* environment
// variables give them (see fakedm.h for their meaning), and the
// fault switches at work (FaultState: which open of the control node, which
// request, read or seek fails, and how successful replies are edited; the
// occurrence counters restart whenever the switches are set).
//
// ReadSettings() fills |out| and returns true, or returns false with |error|
// saying which variable is malformed (then |out| is unspecified).
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fakedm/fakedm.h"

namespace fakedm {
namespace internal {

// One injected request failure: the request named |request| (e.g.
// "DM_TABLE_LOAD") fails with |error|, at every occurrence when |occurrence|
// is 0, else only at that occurrence (1 is the first).
struct RequestFault {
  std::string request;
  int error = 0;
  int occurrence = 0;
};

// Every read() (or lseek()) of a descriptor opened at |path|, a redirected
// path as the program names it, fails with |error|; an empty path injects
// nothing.
struct IoFault {
  std::string path;
  int error = 0;
};

// The fault switches as the environment variables set them (fakedm.h);
// the defaults inject nothing.
struct Faults {
  std::vector<RequestFault> requests;
  int control_open_error = 0;
  int control_open_eintr = 0;
  bool remove_without_uevent = false;
  uint32_t create_target_count = 0;
  int32_t create_open_count = 0;
  int status_buffer_full = 0;
  bool status_reply_set = false;
  std::vector<uint8_t> status_reply;
  IoFault read;
  IoFault seek;
};

struct DeviceManager {
  bool enabled = true;
  int delay_ms = 5;
  int link_delay_ms = -1;  // below 0: same as delay_ms
};

struct Settings {
  std::string root;
  Faults faults;
  DeviceManager device_manager;
};

using GetEnv = std::function<const char*(const char*)>;

bool ReadSettings(const GetEnv& getenv, Settings* out, std::string* error);

class FaultState {
 public:
  void Set(const Faults& faults);
  // Restarts the occurrence counters.
  void Restart();

  // The errno this open of the control node fails with, or 0.
  int ControlOpenError();
  // The errno request |name| fails with this time, or 0.
  int RequestError(const std::string& name);
  // The errno a read() (or, with |seek|, an lseek()) of a descriptor opened
  // at |path| fails with, or 0.
  int IoError(const std::string& path, bool seek) const;
  // Edits a successful reply of |cmd| in |param| (the kernel's copy of the
  // request); |copy_out| is how many bytes go back, at most |buffer_size|.
  void EditReply(unsigned cmd, std::vector<char>& param, size_t buffer_size,
                 size_t* copy_out);

 private:
  Faults faults_;
  std::map<std::string, int> request_counts_;
  int control_eintr_used_ = 0;
  int status_full_used_ = 0;
};

}  // namespace internal
}  // namespace fakedm
