// The fake's process-wide object: the sandbox root, the descriptors it handed
// out, the faults, the device manager's pending events and the kernel's
// devices with the store that carries them across processes. fake.cpp holds
// all of it but the requests, which kernel.cpp answers. The interposed calls
// (calls.cpp) and the test API (api.cpp) are its only users, and both hold
// |mu| around every use.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fakedm/fakedm.h"

namespace fakedm {
namespace internal {

inline constexpr uint32_t kDmMajor = 253;

struct BlockNumber {
  uint32_t major = 0;
  uint32_t minor = 0;
  bool operator==(const BlockNumber& o) const {
    return major == o.major && minor == o.minor;
  }
  // "MAJ:MIN", the form table lines use.
  std::string Text() const;
  // The inverse of Text(); false on anything else.
  static bool Parse(const std::string& text, BlockNumber* out);
};

// A loaded target; a linear one also keeps the block device the kernel
// resolved at load ("MAJ:MIN") and its backing sector.
struct LoadedTarget {
  Target target;
  std::string device;
  uint64_t offset = 0;
};

struct Table {
  std::vector<LoadedTarget> targets;
  bool read_only = false;  // loaded with DM_READONLY_FLAG
  uint64_t sectors() const {
    return targets.empty()
               ? 0
               : targets.back().target.start + targets.back().target.length;
  }
};

struct MappedDevice {
  std::string name;
  std::string uuid;
  uint32_t minor = 0;
  std::optional<Table> active;
  std::optional<Table> inactive;
  bool suspended = false;     // a resume whose table did not fit left it so
  bool block_device = false;  // announced to the device manager
  bool read_only = false;     // the disk's mode, set from the live table
};

// A descriptor opened through a redirected path.
struct Tracked {
  std::string path;  // as the program named it
  bool control = false;
  bool node = false;  // a dm node; |minor| says which
  uint32_t minor = 0;
};

// One item of FAKEDM_FAULTS (fakedm.h).
struct Fault {
  std::string what;
  std::string value;
  int occurrence = 0;  // 0: every time
};

class Fake {
 public:
  std::mutex mu;

  // Reads the environment on first use; true when a root is set.
  bool Active();
  void SetRoot(const std::string& root);
  void ReadEnvironment();
  std::string Redirect(const char* path) const { return root_ + path; }
  // A call on the sandbox begins: the device manager's due events happen.
  void Tick();

  // Descriptors.
  int ControlOpenError() { return FaultErrno("open"); }
  void Track(int fd, const Tracked& t, int flags);
  // Forgets |fd|; true when it was the fake's.
  bool Untrack(int fd);
  bool IsControl(int fd) const;
  // Whether |real| (a resolved sandbox path) is a dm node; sets |minor|.
  bool IsNode(const std::string& real, uint32_t* minor) const;
  // The errno an injected fault gives a read (or seek) of |fd|, or 0.
  int IoError(int fd, bool seek);

  // Runs one device-mapper request on the control node; its errno or 0
  // (kernel.cpp).
  int HandleIoctl(unsigned long request, void* arg);

  // The test API (fakedm.h).
  void Reset();
  std::vector<Device> Devices();
  std::vector<Request> Requests() const;
  int OpenDescriptors() const { return static_cast<int>(tracked_.size()); }
  std::string DeviceNumberOf(const std::string& path);
  int ControlOpenFlags() const { return control_open_flags_; }

  // For kernel.cpp's requests.
  // Resolves a linear target's device (a path or "MAJ:MIN"): 0 and its
  // number and size, or the errno the kernel gives.
  int FindBlockDevice(const std::string& arg, BlockNumber* number,
                      uint64_t* size_bytes);
  int OpenCount(uint32_t minor) const;
  MappedDevice* ByName(const std::string& name);
  MappedDevice* ByUuid(const std::string& uuid);
  // The kernel announced |dev|'s block device (|added|) or its removal.
  void Announce(const MappedDevice& dev, bool added);
  // Counts one more occurrence of |what|; the fault set for it this time.
  const Fault* NextFault(const std::string& what);
  // Like NextFault() for a fault whose value is an errno; 0 when none.
  int FaultErrno(const std::string& what);
  // The faults editing request |request|'s reply this time (its count).
  std::vector<const Fault*> ReplyEdits(const std::string& request);

  std::map<uint32_t, MappedDevice> devices;  // by minor

 private:
  void UseRoot(const std::string& root);
  // "dev/block/sda" for a path inside the root, "" otherwise.
  std::string RootRelative(const std::string& path) const;
  void ApplyDueEvents();
  void Save();
  void ReloadIfChanged();
  void AppendRequest(const std::string& request, const std::string& device,
                     int error) const;
  void WriteOpenDescriptors() const;

  // A device-manager action, due when |calls_| reaches |due|.
  struct Event {
    uint64_t due;
    bool add;
    bool link;
    uint32_t minor;
    std::string uuid;
  };

  bool env_read_ = false;
  std::string env_root_;
  std::vector<Fault> faults_;
  std::map<std::string, int> counts_;
  int node_delay_ = 1;  // below 0: never
  int link_delay_ = 1;  // below 0: never
  uint64_t calls_ = 0;
  std::vector<Event> events_;
  std::string root_;
  std::string root_real_;
  std::map<std::string, BlockNumber> backing_;  // root-relative path -> number
  std::string seen_;  // identity of the state file as last read or written
  std::map<int, Tracked> tracked_;
  int control_open_flags_ = -1;
};

// The one Fake, never destroyed: interposed calls may come during exit.
Fake& TheFake();

}  // namespace internal
}  // namespace fakedm
