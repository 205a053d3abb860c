// The fake kernel's state: mapped devices with their tables, the device
// numbers given to backing files, and the device manager's pending events;
// and its store, the files under $ROOT/.fakedm (see fakedm.h): the state's
// text form, written after every request and read back when another process
// changed it (its text differs from the one last read or written), the
// request log, and the count of open descriptors. A store without a root
// does nothing.
//
// The text form holds only what crosses processes (a test reading what the
// program left, a process taking over devices another one made): the
// backing numbers, each device's minor, name, uuid, whether it is suspended
// and has a block device, and its live table. Pending device-manager
// events, inactive tables and event counts stay in the process. ParseState()
// fills |out| only on success; on malformed text it returns false and leaves
// |out| untouched.
#pragma once

#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fakedm/fakedm.h"

namespace fakedm {
namespace internal {

inline constexpr uint32_t kDmMajor = 253;

// A loaded target. Linear targets also keep the block device the kernel
// resolved at load time ("MAJ:MIN") and their backing sector.
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
  bool suspended = false;
  bool block_device = false;  // announced to the device manager
  bool read_only = false;     // the disk's mode, set from the live table
  uint32_t event_nr = 0;
};

enum class EventKind { kAddNode, kAddLink, kRemoveNode, kRemoveLink };

// A device-manager action due at |due_ns| on CLOCK_MONOTONIC.
struct Event {
  int64_t due_ns = 0;
  EventKind kind = EventKind::kAddNode;
  uint32_t minor = 0;
  std::string uuid;
};

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

struct State {
  std::map<uint32_t, MappedDevice> devices;    // by minor
  std::map<std::string, BlockNumber> backing;  // root-relative path -> number
  std::vector<Event> events;                   // ordered by due time

  MappedDevice* ByName(const std::string& name);
  MappedDevice* ByUuid(const std::string& uuid);
  // The root-relative path of the backing file numbered |n|, "" if none.
  std::string BackingPath(BlockNumber n) const;
  // Adds |e| after every event due no later than it.
  void Schedule(Event e);
};

std::string SerializeState(const State& state);
bool ParseState(const std::string& text, State* out);

class StateStore {
 public:
  // Works under |root| ("" for none) and forgets what it last read.
  void SetRoot(const std::string& root);

  // Replaces |state| when the file changed since it was last read or
  // written (a missing file reads as empty text, an empty state); a
  // malformed file is reported on stderr and leaves |state| alone.
  void ReloadIfChanged(State* state);
  void Save(const State& state);
  void AppendRequest(const std::string& request, const std::string& device,
                     int error) const;
  std::vector<Request> Requests() const;
  void WriteOpenDescriptors(size_t count) const;
  // Deletes the folder and everything in it.
  void Clear() const;

 private:
  bool MakeDir() const;

  std::string dir_;
  std::string seen_;  // the file's text as last read or written
};

}  // namespace internal
}  // namespace fakedm
