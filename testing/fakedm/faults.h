// The fault switches at work (see fakedm.h for each one): which open of the
// control node, which request, read or seek fails, and how successful
// replies are edited. The occurrence counters restart whenever the switches
// are set.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fakedm/fakedm.h"

namespace fakedm {
namespace internal {

class FaultState {
 public:
  void Set(const Faults& faults);
  // Restarts the occurrence counters.
  void Restart();
  const Faults& faults() const { return faults_; }

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
