// The device-mapper control interface as Linux 6.1 answers it, on a State.
//
// Ioctl() runs one request on the caller's buffer |user| the way the kernel's
// ctl_ioctl does: it writes the interface version back into the buffer even
// when the request then fails, copies the reply (data_size bytes) back only on
// success, and leaves the buffer otherwise untouched. What lies outside the
// state (block devices, open counts, the device manager, injected faults) is
// asked of the KernelHooks.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "state.h"

namespace fakedm {
namespace internal {

inline constexpr uint32_t kInterfaceVersion[3] = {4, 47, 0};

struct BlockDevice {
  BlockNumber number;
  uint64_t size_bytes = 0;
};

class KernelHooks {
 public:
  virtual ~KernelHooks() = default;
  // Resolves a target's device argument (a path or "MAJ:MIN"). Returns 0 and
  // fills |out|, or the errno the kernel gives for it.
  virtual int FindBlockDevice(const std::string& arg, BlockDevice* out) = 0;
  // Number of openers of dm device |minor|.
  virtual int OpenCount(uint32_t minor) = 0;
  // The kernel announced |dev|'s block device (its first good table load).
  virtual void BlockDeviceAdded(const MappedDevice& dev) = 0;
  // |dev|'s live table may have changed (a successful resume).
  virtual void Resumed(const MappedDevice& dev) = 0;
  // |dev| is gone; |announced| tells whether it had a block device.
  virtual void Removed(const MappedDevice& dev, bool announced) = 0;
  // An errno to fail request |cmd| with before it runs, or 0.
  virtual int InjectedFailure(unsigned cmd) = 0;
  // Lets faults edit a successful reply of |cmd| in |param| (the kernel's
  // copy of the request, at least sizeof(struct dm_ioctl) bytes). |copy_out|
  // holds how many bytes go back to the caller and may be changed, up to
  // |buffer_size|.
  virtual void EditReply(unsigned cmd, std::vector<char>& param,
                         size_t buffer_size, size_t* copy_out) = 0;
};

struct Outcome {
  std::string request;  // "DM_DEV_CREATE", ... or "0x<hex>"
  std::string device;   // name (or uuid) of the device concerned
  int error = 0;
};

Outcome Ioctl(State& state, KernelHooks& hooks, unsigned long request,
              void* user);

// The name of device-mapper command number |cmd|, "" when unknown.
std::string CommandName(unsigned cmd);

// dev_t encodings: the kernel's 64-bit form of a device number (the one glibc's
// major()/minor() decode) and back.
uint64_t EncodeDev(BlockNumber n);
BlockNumber DecodeDev(uint64_t dev);

}  // namespace internal
}  // namespace fakedm
