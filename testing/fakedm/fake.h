// The fake's insides: one process-wide object with the sandbox root, the
// descriptors it handed out, the faults, the device manager's pending events
// and the kernel's devices (fake.cpp; kernel.cpp answers its requests,
// state.cpp carries its state across processes). The interposed calls
// (calls.cpp) and the test API (api.cpp) use it, holding |mu|.
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

struct Table {
  std::vector<Target> targets;
  bool read_only = false;  // loaded with DM_READONLY_FLAG
  uint64_t sectors() const {
    return targets.empty() ? 0 : targets.back().start + targets.back().length;
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
};

// A descriptor opened through a redirected path.
struct Tracked {
  std::string path;  // as the program named it
  bool control = false;
  std::optional<uint32_t> node;  // the minor of a dm node opened by its path
};

// One item of FAKEDM_FAULTS (fakedm.h).
struct Fault {
  std::string what;
  int64_t value = 0;  // an errno, a reply field's number or a delay (-1: never)
  int occurrence = 0;  // 0: every time
};

class Fake {
 public:
  std::mutex mu;

  // Reads the environment on first use; true when a root is set.
  bool Active();
  // Sets the root ("": none) and loads its state.
  void UseRoot(const std::string& root);
  void ReadEnvironment();
  std::string Redirect(const char* path) const { return root_ + path; }
  // A call on the sandbox begins: the device manager's due events happen.
  void Tick() { ++calls_, ApplyDueEvents(); }

  void Track(int fd, const Tracked& t, int flags);
  void Untrack(int fd);
  bool IsControl(int fd) const;
  // The errno an injected fault gives a read (or seek) of |fd|, or 0.
  int IoError(int fd, bool seek);

  // Runs one request on the control node; its errno or 0 (kernel.cpp).
  int HandleIoctl(unsigned long request, void* arg);

  // The test API (fakedm.h).
  void Reset();
  std::vector<Device> Devices();
  std::vector<Request> Requests() const;
  int OpenDescriptors() const { return static_cast<int>(tracked_.size()); }
  std::string DeviceNumberOf(const std::string& path);
  int ControlOpenFlags() const { return control_open_flags_; }

  // Resolves a linear target's device (a path or "MAJ:MIN"): 0 and its
  // number and size, or the errno the kernel gives.
  int FindBlockDevice(const std::string& arg, std::string* number,
                      uint64_t* size_bytes);
  int OpenCount(uint32_t minor) const;
  // The device named |name|, or bearing |uuid| when that is not empty.
  MappedDevice* Find(const std::string& name, const std::string& uuid);
  // The kernel announced |dev|'s block device (|added|) or its removal.
  void Announce(const MappedDevice& dev, bool added);
  // Counts one more occurrence of |what|; the errno set for it this time or 0.
  int FaultErrno(const std::string& what);
  // The faults editing request |request|'s reply this time (its count).
  std::vector<const Fault*> ReplyEdits(const std::string& request);

  std::map<uint32_t, MappedDevice> devices;  // by minor

 private:
  // The delay FAKEDM_FAULTS sets for |what| ("devmgr", "link"), or |fallback|.
  int64_t Delay(const std::string& what, int64_t fallback) const;
  void ApplyDueEvents();
  // state.cpp.
  void Save();
  void ReloadIfChanged();
  void AppendRequest(const std::string& request, const std::string& device,
                     int error) const;
  void WriteOpenDescriptors() const;

  // A device-manager action on a node or link, due when |calls_| reaches
  // |due|.
  struct Event {
    uint64_t due;
    bool add, link;  // NOLINT(readability-isolate-declaration)
    uint32_t minor;
    std::string uuid;
  };

  bool env_read_ = false;
  std::vector<Fault> faults_;
  std::map<std::string, int> counts_;
  uint64_t calls_ = 0;
  std::vector<Event> events_;
  std::string root_;
  std::map<std::string, std::string> backing_;  // root-relative path: number
  std::string seen_;  // identity of the state file as last read or written
  std::map<int, Tracked> tracked_;
  int control_open_flags_ = -1;
};

// The one Fake, never destroyed: interposed calls may come during exit.
Fake& TheFake();

// The minor of |path| when it names a dm node ("/dev/block/dm-<N>").
std::optional<uint32_t> NodeMinor(const std::string& path);
// Whether |path| (which may be null or relative) is one of the absolute
// paths redirected into the sandbox.
bool IsRedirected(const char* path);

// Marks the current thread as inside the fake for its lifetime, so that the
// fake's own file I/O goes straight to libc; only the outermost one counts.
class Inside {
 public:
  Inside();
  ~Inside();
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;
  bool outer() const { return outer_; }

 private:
  const bool outer_;
};

// The interposed calls (interpose.cpp hands them over).
int Open(int dirfd, const char* path, int flags, mode_t mode);
int Access(int dirfd, const char* path, int mode, int flags);
int Close(int fd);
int Ioctl(int fd, unsigned long request, void* arg);
ssize_t Read(int fd, void* buf, size_t count);
off_t Seek(int fd, off_t offset, int whence);

}  // namespace internal
}  // namespace fakedm
