// fakedm: a fake Linux device-mapper kernel and device manager, living in a
// sandbox directory, for tests that must run without root or a VM.
//
// libfakedm.so interposes libc's open/open64/__open_2/__open64_2/openat/
// openat64/__openat_2/__openat64_2, access, faccessat, close, ioctl, and
// read/__read_chk/lseek/lseek64 (only to inject failures). Use it either by
// LD_PRELOAD into an unmodified binary or by linking it into a test
// executable.
//
// Nothing changes until a sandbox root is set (FAKEDM_ROOT or SetRoot()).
// Then these absolute paths are redirected into the root: "/dev/device-mapper",
// "/dev/kmsg" (so that no run writes the host's kernel log), "/dev/block"
// and everything under it, "/prop.default", "/default.prop", and the trees
// "/system", "/system_ext", "/vendor", "/product", "/odm". Every other path,
// and every call on descriptors the fake did not open, goes to libc untouched.
//
// Sandbox layout:
//   $ROOT/dev/device-mapper   any regular file: its presence makes the control
//                             node exist. Missing: open fails ENOENT.
//   $ROOT/dev/block/<name>    a regular file is a block device; its size is
//                             the device's size. It gets a device number
//                             254:0, 254:16, ... in order of first use.
//   $ROOT/dev/block/dm-<N>    an empty file the device manager makes when
//                             device N's block device appears (its first
//                             good table load) and deletes after its removal.
//   $ROOT/dev/block/mapper/by-uuid/<uuid> -> ../../dm-<N>   likewise, for
//                             devices with a uuid.
//   $ROOT/.fakedm/state       the devices, their live tables and the backing
//                             numbers, written after every request and read
//                             back when another process (a program under
//                             LD_PRELOAD, a forked child) replaced it.
//   $ROOT/.fakedm/requests    one line per request: "<REQUEST>\t<name>\t<err>".
//   $ROOT/.fakedm/open_fds    descriptors opened through redirected paths and
//                             not closed yet.
//
// The kernel answers DM_VERSION and the requests the library sends as Linux
// 6.1 does (interface 4.47.0): DM_DEV_CREATE, DM_DEV_REMOVE, DM_DEV_SUSPEND
// without DM_SUSPEND_FLAG (resume), DM_DEV_STATUS, DM_TABLE_LOAD and
// DM_TABLE_STATUS, each naming its device by name; with their version and
// size checks, lowest free minor under major 253, status and uevent flags,
// table checks (zero length, gaps, overlaps, unknown types, "linear" targets
// checked against their backing size). "linear" targets are parsed, "crypt"
// ones kept as opaque text. A DM_TABLE_STATUS reply that does not fit is
// flagged DM_BUFFER_FULL_FLAG and holds no records. Anything else fails
// ENOTTY. Open counts are the descriptors of dm-<N> this process holds.
//
// The device manager counts calls, not time: an event announced with delay N
// happens at the start of the N-th call on the sandbox after it (an open or
// access of a redirected path, an ioctl of the control node); with delay 0
// at the end of the announcing request.
//
// FAKEDM_FAULTS (read when the fake becomes active and at ReadEnvironment())
// is a comma-separated list of "WHAT=VALUE[@N]": every time, or only at the
// Nth occurrence of WHAT (1 is the first) since the list was read. WHAT is
//   DM_DEV_CREATE, ... (a request)  the request fails VALUE (an errno name
//                                   like EBUSY); the kernel is unchanged;
//   open                            an open of the control node fails VALUE;
//   read:PATH, lseek:PATH           a read() or lseek() of a descriptor opened
//                                   at the redirected PATH fails VALUE;
//   REQUEST.target_count, REQUEST.open_count, REQUEST.flags
//                                   the request's successful reply gets the
//                                   number VALUE in that field;
//   devmgr                          the device manager's delay, a number of
//                                   calls or "never" (default 1);
//   link                            the by-uuid link's delay (default:
//                                   devmgr's).
// E.g. "DM_TABLE_LOAD=EINVAL,DM_DEV_REMOVE=EBUSY@2,devmgr=3". A malformed
// item stops the process with a message on stderr.
//
// Under AddressSanitizer the runtime must come first: preload it too or set
// ASAN_OPTIONS=verify_asan_link_order=0.
//
// Limits: one process at a time works on a sandbox, and one that takes over
// a sandbox after another gets only what the state file holds (no pending
// device-manager events or inactive tables); descriptors copied with dup()
// or inherited across exec are not tracked; dm nodes hold no bytes; like the
// kernel, the fake trusts data_size and reads that many bytes of the
// caller's buffer.
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
  std::string request;  // "DM_DEV_CREATE", ... or "0x<hex>" when unknown
  std::string name;     // the device's name, or the one asked for
  int error = 0;        // 0 on success
};

// Sets the sandbox root for this process (overrides FAKEDM_ROOT); "" goes
// back to FAKEDM_ROOT. Loads the root's state when it has one.
FAKEDM_API void SetRoot(const std::string& root);
// Forgets every device, the request log, the backing numbers and the pending
// device-manager events, deletes the dm nodes and links it made, and restarts
// the fault occurrence counters.
FAKEDM_API void Reset();
// Reads FAKEDM_FAULTS again and restarts the occurrence counters; devices
// stay.
FAKEDM_API void ReadEnvironment();

FAKEDM_API std::vector<Device> Devices();
FAKEDM_API std::vector<Request> Requests();
// Descriptors opened through redirected paths and not closed yet.
FAKEDM_API int OpenDescriptors();
// The open flags of the last successful open of the control node in this
// process, -1 when there was none since the root was set or Reset().
FAKEDM_API int ControlOpenFlags();
// "MAJ:MIN" of the block device at |path| (e.g. "/dev/block/sda"), assigning
// one if it has none yet; "" when there is no root or no such regular file.
FAKEDM_API std::string DeviceNumberOf(const std::string& path);

}  // namespace fakedm
