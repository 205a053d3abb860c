// fakedm: a fake Linux device-mapper kernel and device manager in a sandbox
// directory, for tests without root or a VM; by LD_PRELOAD into an unmodified
// binary or linked into a test. It interposes libc's open, openat, access,
// faccessat, close, ioctl, read and lseek (and their 64-bit and fortified
// names); nothing changes until a root is set (FAKEDM_ROOT or SetRoot()).
// Then "/dev/device-mapper", "/dev/kmsg", "/prop.default", "/default.prop"
// and the trees "/dev/block", "/system", "/system_ext", "/vendor", "/product"
// and "/odm" are redirected into it; everything else goes to libc.
//
// In the root: dev/device-mapper (the control node), dev/block/<x> (a
// regular file is a block device of its size, numbered 254:0, 254:16, ... in
// order of use), dev/block/dm-<N> and dev/block/mapper/by-uuid/<uuid> (the
// device manager's empty files and links), and .fakedm/ (state.cpp).
//
// The kernel answers DM_VERSION and the requests the library sends, as Linux
// 6.1 (interface 4.47.0) does, each naming its device by name: DM_DEV_CREATE,
// DM_DEV_REMOVE, DM_DEV_SUSPEND without DM_SUSPEND_FLAG (resume),
// DM_DEV_STATUS, DM_TABLE_LOAD and DM_TABLE_STATUS of the live table; with
// their checks, lowest free minors under major 253, and "linear" (parsed) and
// "crypt" (kept as text) targets. A status reply that does not fit holds
// DM_BUFFER_FULL_FLAG and no records. Anything else fails ENOTTY.
//
// The device manager counts calls, not time: an event with delay N happens at
// the start of the N-th call on the sandbox after it (open or access of a
// redirected path, ioctl of the control node); with 0, at the request's end.
//
// FAKEDM_FAULTS, read at first use and by ReadEnvironment(), is a list of
// "WHAT=VALUE[@N]" joined by commas: every time, or at the Nth occurrence of
// WHAT only. WHAT is a request ("DM_TABLE_LOAD": it fails errno VALUE, e.g.
// EBUSY), "open" (of the control node), "read:PATH" or "lseek:PATH" (of a
// descriptor opened at PATH), "REQUEST.target_count", ".open_count" or
// ".flags" (the successful reply's field gets the number VALUE), "devmgr"
// (the device manager's delay, a count or "never"; default 1) or "link" (the
// by-uuid link's; default devmgr's). A malformed item ends the process.
//
// Limits: one process at a time per sandbox; pending events and staged tables
// stay in their process; a dm node is open only when opened by its dm-<N>
// path; only descriptors opened and closed by the calls above are tracked;
// dm nodes hold no bytes. Under ASan set ASAN_OPTIONS=verify_asan_link_order=0.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#define FAKEDM_API __attribute__((visibility("default")))

namespace fakedm {

struct Target {
  uint64_t start = 0;
  uint64_t length = 0;
  std::string type;
  std::string params;  // as loaded, verbatim
};

struct Device {
  std::string name;
  std::string uuid;
  uint32_t minor = 0;
  bool read_only = false;  // the live table's mode
  std::vector<Target> active;
};

struct Request {
  std::string request;  // "DM_DEV_CREATE", ... or its number when unknown
  std::string name;     // the name asked for (of 127 bytes at most)
  int error = 0;        // 0 on success
};

// Sets this process's root ("": none) and loads its state.
FAKEDM_API void SetRoot(const std::string& root);
// Forgets devices, requests, numbers, events and fault counts; deletes nodes.
FAKEDM_API void Reset();
// Reads FAKEDM_FAULTS again and restarts its counts; devices stay.
FAKEDM_API void ReadEnvironment();

FAKEDM_API std::vector<Device> Devices();
FAKEDM_API std::vector<Request> Requests();
// This process's descriptors open on redirected paths.
FAKEDM_API int OpenDescriptors();
// The flags of this process's last control-node open since SetRoot() or
// Reset(), -1 if none.
FAKEDM_API int ControlOpenFlags();
// "MAJ:MIN" of the block device at |path|, numbered on first use; "" if none.
FAKEDM_API std::string DeviceNumberOf(const std::string& path);

}  // namespace fakedm
