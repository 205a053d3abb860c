// The fake's process-wide object: its settings, the sandbox root, the
// descriptors it handed out, and the kernel state with its store, device
// manager and faults; it is the KernelHooks the kernel asks. The interposed
// calls (calls.cpp) and the test API (api.cpp) are its only users, and both
// hold |mu| around every use.
#pragma once

#include <stdint.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "kernel.h"
#include "state.h"

namespace fakedm {
namespace internal {

// A descriptor opened through a redirected path.
struct Tracked {
  std::string path;  // as the program named it
  bool control = false;
  bool node = false;  // a dm node; |minor| says which
  uint32_t minor = 0;
};

class Fake final : public KernelHooks {
 public:
  std::mutex mu;

  // Reads the environment on first use; true when a root is set.
  bool Active();
  void SetRoot(const std::string& root);
  // Work due at the start of every call: another process's changes, then
  // the device manager's due events.
  void Tick();
  std::string Redirect(const char* path) const { return root_ + path; }

  // Descriptors.
  int ControlOpenError() { return faults_.ControlOpenError(); }
  void Track(int fd, const Tracked& t, int flags);
  // Forgets |fd|; true when it was the fake's.
  bool Untrack(int fd);
  bool IsControl(int fd) const;
  // Whether |real| (a resolved sandbox path) is a dm node; sets |minor|.
  bool IsNode(const std::string& real, uint32_t* minor) const;
  // The errno an injected fault gives a read (or seek) of |fd|, or 0.
  int IoError(int fd, bool seek) const;

  // Runs one device-mapper request on the control node; its errno or 0.
  int HandleIoctl(unsigned long request, void* arg);

  // The test API (fakedm.h).
  void Reset();
  void ReadEnvironment();
  std::vector<Device> Devices();
  std::vector<Request> Requests() const { return store_.Requests(); }
  int OpenDescriptors() const { return static_cast<int>(tracked_.size()); }
  std::string DeviceNumberOf(const std::string& path);
  int ControlOpenFlags() const { return control_open_flags_; }

  // KernelHooks.
  int FindBlockDevice(const std::string& arg, BlockDevice* out) override;
  int OpenCount(uint32_t minor) override;
  void BlockDeviceAdded(const MappedDevice& dev) override;
  void Resumed(const MappedDevice& dev) override;
  void Removed(const MappedDevice& dev, bool announced) override;
  int InjectedFailure(unsigned cmd) override;
  void EditReply(unsigned cmd, std::vector<char>& param, size_t buffer_size,
                 size_t* copy_out) override;

 private:
  void UseRoot(const std::string& root);
  // The FAKEDM_* settings; a malformed one ends the process.
  void ReadSettingsOrDie();
  // "dev/block/sda" for a path inside the root, "" otherwise.
  std::string RootRelative(const std::string& path) const;
  // The block device numbered |n| and its size; false when there is none.
  bool NumberedDevice(BlockNumber n, BlockDevice* out);
  void WriteOpenDescriptors() const;

  bool settings_read_ = false;
  Settings settings_;
  FaultState faults_;
  DeviceManager device_manager_;
  std::string root_;
  std::string root_real_;
  State state_;
  StateStore store_;
  std::map<int, Tracked> tracked_;
  int control_open_flags_ = -1;
};

// The one Fake, never destroyed: interposed calls may come during exit.
Fake& TheFake();

}  // namespace internal
}  // namespace fakedm
