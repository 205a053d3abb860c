// fakedm: a fake Linux device-mapper kernel and device manager, living in a
// sandbox directory, for tests that must run without root or a VM.
//
// libfakedm.so interposes libc's open/open64/__open_2/__open64_2/openat/
// openat64/__openat_2/__openat64_2, access, faccessat, close, ioctl, and
// read/__read_chk/lseek/lseek64 (only to inject failures). Use it
// either by LD_PRELOAD into an unmodified binary or by linking it into a test
// executable; both are configured by the environment variables below (a test
// that changes them calls ReadEnvironment()).
//
// Nothing changes until a sandbox root is set (FAKEDM_ROOT or SetRoot()).
// Then these absolute paths are redirected into the root: "/dev/device-mapper",
// "/dev/kmsg" (so that no run writes the host's kernel log), "/dev/block"
// and everything under it, "/prop.default", "/default.prop", and
// the trees "/system", "/system_ext", "/vendor", "/product", "/odm" (so also
// "/system/bin/recovery"). Every other path, and every call on descriptors the
// fake did not open, goes to libc untouched.
//
// Sandbox layout:
//   $ROOT/dev/device-mapper   any regular file: its presence makes the control
//                             node exist (open gives a real descriptor of it,
//                             which the fake treats as a control descriptor
//                             until it is closed). Missing: open fails ENOENT.
//   $ROOT/dev/block/<name>    a regular file is a block device; its size is
//                             the device's size. It gets a fixed device number
//                             254:0, 254:16, 254:32, ... in order of first use
//                             (a table load naming it, or DeviceNumberOf()).
//   $ROOT/dev/block/dm-<N>    made by the fake device manager when device N's
//                             block device appears (its first good table
//                             load), filled at every resume with the bytes
//                             its table maps (up to 64 MiB; larger mappings
//                             become sparse files of the right size), removed
//                             after the device is removed.
//   $ROOT/dev/block/mapper/by-uuid/<uuid> -> ../../dm-<N>   likewise, for
//                             devices with a uuid.
//   $ROOT/.fakedm/state       what another process may read of the kernel:
//                             backing numbers, devices and live tables (see
//                             state.h). Written after every request, read at
//                             start and again whenever another process
//                             changed it, so a test sees the devices a
//                             program under LD_PRELOAD left.
//   $ROOT/.fakedm/requests    one line per request: "<REQUEST>\t<name>\t<err>"
//                             where err is 0 or the errno's number.
//   $ROOT/.fakedm/open_fds    the number of descriptors opened through
//                             redirected paths and not closed yet.
//
// The kernel: DM_VERSION, DM_DEV_CREATE, DM_DEV_REMOVE, DM_DEV_SUSPEND,
// DM_DEV_STATUS, DM_TABLE_LOAD and DM_TABLE_STATUS answer as Linux 6.1 does
// (interface 4.47.0): version and size checks, name/uuid lookup, lowest free
// minor under major 253, status flags, uevent flags, reply layouts,
// BUFFER_FULL, table checks (zero length, gaps, overlaps, unknown types,
// "linear" targets checked against their backing size). "linear" targets are
// emulated; "crypt", "error", "zero", "striped", "verity" and a few others are
// kept as opaque text (their table line is their parameter text verbatim,
// their status line empty, their bytes zero). Other device-mapper requests
// fail ENOTTY. Mapped devices are 253:<minor> (a real kernel picks its own
// major: 254 in the test guests); the reply's `dev` uses the encoding glibc's
// major()/minor() decode. Open counts are the descriptors of dm-<N> this
// process holds (opened by any path that resolves to the node).
//
// The device manager: an event queue without threads. Due events are applied
// at the start and end of every intercepted call (and by the API below), so a
// program polling with access() sees the paths appear in time.
//
// Environment variables (read when the fake first becomes active and at
// ReadEnvironment()):
//   FAKEDM_ROOT=DIR                the sandbox root; unset: pass-through.
//   FAKEDM_FAIL=REQ=ERR[@N],...    request REQ (DM_DEV_CREATE, DM_TABLE_LOAD,
//                                  ...) fails with ERR (a name like EBUSY),
//                                  every time or only at its Nth occurrence
//                                  (1 is the first); nothing is changed in
//                                  the kernel. E.g.
//                                  "DM_TABLE_LOAD=EINVAL,DM_DEV_REMOVE=EBUSY@2".
//   FAKEDM_CONTROL_OPEN_FAIL=ERR   every open of the control node fails ERR.
//   FAKEDM_READ_FAIL=PATH=ERR      every read() of a descriptor opened at the
//                                  redirected path PATH (as the program
//                                  names it, e.g. /dev/block/sda) fails ERR.
//   FAKEDM_LSEEK_FAIL=PATH=ERR     likewise for lseek().
//   FAKEDM_CONTROL_OPEN_EINTR=N    the first N opens of the control node fail
//                                  EINTR.
//   FAKEDM_REMOVE_NO_UEVENT=1      DM_DEV_REMOVE replies lack
//                                  DM_UEVENT_GENERATED_FLAG.
//   FAKEDM_CREATE_TARGET_COUNT=N   DM_DEV_CREATE replies report N targets.
//   FAKEDM_CREATE_OPEN_COUNT=N     DM_DEV_CREATE replies report N openers.
//   FAKEDM_STATUS_BUFFER_FULL=N    the first N DM_TABLE_STATUS replies are
//                                  "buffer full": DM_BUFFER_FULL_FLAG set, no
//                                  records (data_size 305), return 0.
//   FAKEDM_STATUS_REPLY=FILE       every successful DM_TABLE_STATUS reply is
//                                  overwritten with FILE's bytes from the
//                                  buffer's start (over the header too), cut
//                                  at the buffer's data_size.
//   FAKEDM_DEVMGR=0                no device manager: no path ever appears.
//   FAKEDM_DEVMGR_DELAY_MS=N       delay of the device manager (default 5).
//   FAKEDM_LINK_DELAY_MS=N         delay of the by-uuid link after the block
//                                  device appears (default: the node's delay);
//                                  a larger value makes a late link.
// A malformed value stops the process with a message on stderr.
//
// Under AddressSanitizer the runtime must come first: preload it too
// (LD_PRELOAD="$(g++ -print-file-name=libasan.so) libfakedm.so") or set
// ASAN_OPTIONS=verify_asan_link_order=0.
//
// Limits: one process at a time works on a sandbox, and one that takes over
// a sandbox after another gets only what the state file holds (no pending
// device-manager events, inactive tables or event counts); descriptors
// copied with
// dup() or inherited across exec are not tracked; writes to a dm node do not
// reach the backing file; deferred removal is not offered; like the kernel, the
// fake trusts data_size and reads that many bytes of the caller's buffer.
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
// Reads the FAKEDM_* fault and device-manager variables again (they are the
// one way to set them, in this process as in a program under LD_PRELOAD) and
// restarts the fault occurrence counters; devices stay.
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
