// The device-mapper control handle: opening the control node, request
// framing, creation, status, removal and table queries.
#include "libdm/dm.h"

#include <android-base/logging.h>
#include <android-base/properties.h>
#include <android-base/strings.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <new>
#include <thread>

#include "libdm/utility.h"
#include "table_status.h"

namespace android {
namespace dm {
namespace {

constexpr char kControlNode[] = "/dev/device-mapper";
constexpr char kRecoveryMarker[] = "/system/bin/recovery";
constexpr char kNodePathPrefix[] = "/dev/block/dm-";
constexpr char kUniquePathPrefix[] = "/dev/block/mapper/by-uuid/";
constexpr size_t kTableStatusInitialSize = 4096;
// data_size is 32 bits wide: no request buffer may be larger than this.
constexpr size_t kMaxRequestSize = UINT32_MAX;
constexpr std::chrono::milliseconds kNoWait(0);
// How often a removal that meets EBUSY is tried again, and the first pause;
// each pause doubles (50 + 100 + 200 + 400 ms). A probing device manager
// usually lets go within 50 ms, but on a busy system its probe has been seen
// to hold the device for over 200 ms: 750 ms in all outlasts that, and costs
// nothing when no removal is refused.
constexpr int kRemoveBusyRetries = 4;
constexpr std::chrono::milliseconds kRemoveBusyFirstDelay(50);

// The request numbers and flags the kernel's header gives must be the ones
// this library was written against.
static_assert(sizeof(struct dm_ioctl) == 312, "dm_ioctl is 312 bytes");
static_assert(offsetof(struct dm_ioctl, data) == 305, "bare data_size is 305");
static_assert(sizeof(struct dm_target_spec) == 40, "target record is 40 bytes");
static_assert(DM_DEV_CREATE == 0xC138FD03, "DM_DEV_CREATE");
static_assert(DM_DEV_REMOVE == 0xC138FD04, "DM_DEV_REMOVE");
static_assert(DM_DEV_SUSPEND == 0xC138FD06, "DM_DEV_SUSPEND");
static_assert(DM_DEV_STATUS == 0xC138FD07, "DM_DEV_STATUS");
static_assert(DM_TABLE_LOAD == 0xC138FD09, "DM_TABLE_LOAD");
static_assert(DM_TABLE_STATUS == 0xC138FD0C, "DM_TABLE_STATUS");
static_assert(DM_READONLY_FLAG == 0x1, "DM_READONLY_FLAG");
static_assert(DM_SUSPEND_FLAG == 0x2, "DM_SUSPEND_FLAG");
static_assert(DM_STATUS_TABLE_FLAG == 0x10, "DM_STATUS_TABLE_FLAG");
static_assert(DM_ACTIVE_PRESENT_FLAG == 0x20, "DM_ACTIVE_PRESENT_FLAG");
static_assert(DM_BUFFER_FULL_FLAG == 0x100, "DM_BUFFER_FULL_FLAG");
static_assert(DM_UEVENT_GENERATED_FLAG == 0x2000, "DM_UEVENT_GENERATED_FLAG");

// The kernel's name field holds 127 bytes and a NUL: a longer name would
// reach it cut, and the request would act on whichever device bears the cut
// name. Every operation refuses such a name before any request.
bool NameFits(const std::string& name) {
  if (name.size() < DM_NAME_LEN) return true;
  LOG(ERROR) << "[" << name << "] is too long to be device mapper name";
  return false;
}

// The text of a fixed-size, normally NUL-terminated field.
std::string FieldText(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

}  // namespace

DeviceMapper& DeviceMapper::Instance() {
  static DeviceMapper instance;
  return instance;
}

DeviceMapper::DeviceMapper() {
  int fd;
  do {
    fd = open(kControlNode, O_RDWR | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  fd_.reset(fd);
  if (!fd_.ok()) PLOG(ERROR) << "Failed to open device-mapper";
}

DeviceMapper::~DeviceMapper() = default;

void DeviceMapper::InitRequestHeader(struct dm_ioctl* io,
                                     const std::string& name) {
  CHECK(io != nullptr) << "nullptr passed to dm_ioctl initialization";
  memset(io, 0, sizeof(*io));
  io->version[0] = 4;
  io->version[1] = 0;
  io->version[2] = 0;
  io->data_size = sizeof(*io);
  io->data_start = 0;
  if (!name.empty()) snprintf(io->name, sizeof(io->name), "%s", name.c_str());
}

bool DeviceMapper::QueryStatus(const std::string& name,
                               struct dm_ioctl* io) const {
  InitRequestHeader(io, name);
  return ioctl(fd_.get(), DM_DEV_STATUS, io) >= 0;
}

// ---- creation and activation ----

bool DeviceMapper::CreateDevice(const std::string& name,
                                const std::string& uuid) {
  if (name.empty()) {
    LOG(ERROR) << "Unnamed device mapper device creation is not supported";
    return false;
  }
  if (!NameFits(name)) return false;
  // The uuid field holds 128 bytes and a NUL.
  if (uuid.size() >= DM_UUID_LEN) {
    LOG(ERROR) << "[" << uuid << "] is too long to be device mapper uuid";
    return false;
  }
  struct dm_ioctl io;
  InitRequestHeader(&io, name);
  if (!uuid.empty()) snprintf(io.uuid, sizeof(io.uuid), "%s", uuid.c_str());
  if (ioctl(fd_.get(), DM_DEV_CREATE, &io)) {
    PLOG(ERROR) << "DM_DEV_CREATE failed for [" << name << "]";
    return false;
  }
  if (io.target_count != 0 || io.open_count != 0) {
    // The kernel's answer cannot describe the device just registered. The
    // process ends below; take the registration back first so that nothing
    // half-made outlives it.
    struct dm_ioctl remove;
    InitRequestHeader(&remove, name);
    (void)ioctl(fd_.get(), DM_DEV_REMOVE, &remove);
  }
  CHECK(io.target_count == 0)
      << "Unexpected targets for newly created [" << name << "] device";
  CHECK(io.open_count == 0)
      << "Unexpected opens for newly created [" << name << "] device";
  return true;
}

bool DeviceMapper::CreateEmptyDevice(const std::string& name) {
  uuid_t uuid;
  memset(uuid, 0, sizeof(uuid));
  uuid_generate(uuid);
  char text[37];
  memset(text, 0, sizeof(text));
  uuid_unparse_lower(uuid, text);
  return DeviceMapper::CreateDevice(name, std::string(text));
}

bool DeviceMapper::LoadTable(const std::string& name, const DmTable& table) {
  if (!NameFits(name)) return false;
  const std::string records = table.Serialize();
  const size_t size = sizeof(struct dm_ioctl) + records.size();
  if (size > kMaxRequestSize) {
    LOG(ERROR) << "DM_TABLE_LOAD failed: a table of " << records.size()
               << " bytes does not fit one request";
    return false;
  }
  struct dm_ioctl io;
  InitRequestHeader(&io, name);
  io.data_start = sizeof(io);
  io.data_size = static_cast<uint32_t>(size);
  io.target_count = static_cast<uint32_t>(table.target_count());
  if (table.read_only()) io.flags |= DM_READONLY_FLAG;

  // Header and records in one buffer; the header is copied in rather than
  // overlaid so that the buffer's alignment does not matter.
  std::string buffer(reinterpret_cast<const char*>(&io), sizeof(io));
  buffer += records;
  if (ioctl(fd_.get(), DM_TABLE_LOAD, &buffer[0])) {
    PLOG(ERROR) << "DM_TABLE_LOAD failed";
    return false;
  }
  return true;
}

bool DeviceMapper::LoadTableAndActivate(const std::string& name,
                                        const DmTable& table) {
  if (!DeviceMapper::LoadTable(name, table)) return false;
  struct dm_ioctl io;
  InitRequestHeader(&io, name);
  // DM_DEV_SUSPEND without DM_SUSPEND_FLAG resumes: the loaded table goes live.
  if (ioctl(fd_.get(), DM_DEV_SUSPEND, &io)) {
    PLOG(ERROR) << "DM_TABLE_SUSPEND resume failed";
    return false;
  }
  return true;
}

bool DeviceMapper::WaitForDevice(const std::string& name,
                                 const std::chrono::milliseconds& timeout,
                                 std::string* path) {
  // Nothing can have been registered under a name that does not fit.
  if (!NameFits(name)) return false;
  std::string unique_path;
  std::string node_path;
  if (!DeviceMapper::GetDeviceUniquePath(name, &unique_path) ||
      !DeviceMapper::GetDmDevicePathByName(name, &node_path)) {
    DeviceMapper::DeleteDevice(name, kNoWait);
    return false;
  }
  if (timeout <= kNoWait) {
    if (path != nullptr) *path = node_path;
    return true;
  }

  std::string waited_path = unique_path;
  if (access(kRecoveryMarker, F_OK) == 0) {
    // Recovery images of Android 10 and older have a ueventd that makes no
    // by-uuid links: watch the node there instead.
    const std::string ab_update =
        android::base::GetProperty("ro.build.ab_update", "");
    const int sdk = android::base::GetIntProperty<int>("ro.build.version.sdk",
                                                       0, INT_MIN, INT_MAX);
    if (ab_update.empty() && sdk != 0 && sdk <= 29) {
      LOG(INFO) << "Detected ueventd incompatibility, reverting to legacy "
                   "libdm behavior.";
      waited_path = node_path;
    }
  }

  if (WaitForFile(waited_path, timeout)) {
    if (path != nullptr) *path = node_path;
    return true;
  }
  LOG(ERROR) << "Failed waiting for device path: " << waited_path;
  DeviceMapper::DeleteDevice(name, kNoWait);
  return false;
}

bool DeviceMapper::CreateDevice(const std::string& name, const DmTable& table,
                                std::string* path,
                                const std::chrono::milliseconds& timeout) {
  if (!DeviceMapper::CreateEmptyDevice(name)) return false;
  if (!DeviceMapper::LoadTableAndActivate(name, table)) {
    DeviceMapper::DeleteDevice(name, kNoWait);
    return false;
  }
  // WaitForDevice removes the device itself when it fails; removing by name
  // again could only hit a device someone else has made since.
  return DeviceMapper::WaitForDevice(name, timeout, path);
}

// ---- status and paths ----

DeviceState DeviceMapper::GetState(const std::string& name) const {
  if (!NameFits(name)) return DeviceState::Unavailable;
  struct dm_ioctl io;
  if (!QueryStatus(name, &io)) return DeviceState::Unavailable;
  if ((io.flags & (DM_ACTIVE_PRESENT_FLAG | DM_SUSPEND_FLAG)) ==
      DM_ACTIVE_PRESENT_FLAG) {
    return DeviceState::Active;
  }
  return DeviceState::Inactive;
}

bool DeviceMapper::GetDeviceNumber(const std::string& name,
                                   unsigned long* dev) {
  if (!NameFits(name)) return false;
  struct dm_ioctl io;
  if (!QueryStatus(name, &io)) {
    PLOG(WARNING) << "DM_DEV_STATUS failed for " << name;
    return false;
  }
  *dev = io.dev;
  return true;
}

bool DeviceMapper::GetDeviceString(const std::string& name, std::string* dev) {
  unsigned long number = 0;
  if (!DeviceMapper::GetDeviceNumber(name, &number)) return false;
  *dev = std::to_string(major(number)) + ":" + std::to_string(minor(number));
  return true;
}

bool DeviceMapper::GetDmDevicePathByName(const std::string& name,
                                         std::string* path) {
  if (!NameFits(name)) return false;
  struct dm_ioctl io;
  if (!QueryStatus(name, &io)) {
    PLOG(WARNING) << "DM_DEV_STATUS failed for " << name;
    return false;
  }
  *path = kNodePathPrefix + std::to_string(minor(io.dev));
  return true;
}

bool DeviceMapper::GetDeviceUniquePath(const std::string& name,
                                       std::string* path) {
  if (!NameFits(name)) return false;
  struct dm_ioctl io;
  if (!QueryStatus(name, &io)) {
    PLOG(ERROR) << "Failed to get device path: " << name;
    return false;
  }
  if (io.uuid[0] == '\0') {
    LOG(ERROR) << "Device does not have a unique path: " << name;
    return false;
  }
  *path = kUniquePathPrefix + FieldText(io.uuid, sizeof(io.uuid));
  return true;
}

// ---- removal ----

bool DeviceMapper::DeleteDevice(const std::string& name,
                                const std::chrono::milliseconds& timeout) {
  if (!NameFits(name)) return false;
  std::string unique_path;
  if (!DeviceMapper::GetDeviceUniquePath(name, &unique_path)) {
    LOG(ERROR) << "Failed to get unique path for device " << name;
  }
  // Only a link that exists now must go away with a uevent.
  const bool uevent_expected =
      !unique_path.empty() && access(unique_path.c_str(), F_OK) == 0;

  struct dm_ioctl io;
  std::chrono::milliseconds delay = kRemoveBusyFirstDelay;
  for (int retry = 0;; ++retry, delay *= 2) {
    InitRequestHeader(&io, name);
    if (ioctl(fd_.get(), DM_DEV_REMOVE, &io) == 0) break;
    // A device manager that probes new devices (udev does) holds them open
    // for a moment; a removal right after creation then meets EBUSY.
    if (errno != EBUSY || retry == kRemoveBusyRetries) {
      PLOG(ERROR) << "DM_DEV_REMOVE failed for [" << name << "]";
      return false;
    }
    PLOG(WARNING) << "DM_DEV_REMOVE failed for [" << name << "], retrying";
    std::this_thread::sleep_for(delay);
  }
  if (uevent_expected && (io.flags & DM_UEVENT_GENERATED_FLAG) == 0) {
    LOG(ERROR) << "Didn't generate uevent for [" << name << "] removal";
    return false;
  }
  if (timeout <= kNoWait) return true;
  if (unique_path.empty()) return false;
  if (!WaitForFileDeleted(unique_path, timeout)) {
    LOG(ERROR) << "Failed waiting for " << unique_path << " to be deleted";
    return false;
  }
  return true;
}

bool DeviceMapper::DeleteDeviceIfExists(const std::string& name) {
  if (!NameFits(name)) return false;
  if (DeviceMapper::GetState(name) == DeviceState::Unavailable) return true;
  return DeviceMapper::DeleteDevice(name, kNoWait);
}

// ---- table queries ----

bool DeviceMapper::GetTableStatus(const std::string& name,
                                  std::vector<TargetInfo>* table) {
  return DeviceMapper::GetTable(name, 0, table);
}

bool DeviceMapper::GetTableInfo(const std::string& name,
                                std::vector<TargetInfo>* table) {
  return DeviceMapper::GetTable(name, DM_STATUS_TABLE_FLAG, table);
}

bool DeviceMapper::GetTable(const std::string& name, unsigned int flags,
                            std::vector<TargetInfo>* table) {
  if (!NameFits(name)) return false;
  std::string buffer;
  for (size_t size = kTableStatusInitialSize;; size *= 2) {
    if (size > kMaxRequestSize) {
      LOG(ERROR) << "DM_TABLE_STATUS failed for " << name
                 << ": the reply needs more than " << size / 2
                 << " bytes, the largest doubling a request can describe";
      return false;
    }
    try {
      buffer.resize(size, '\0');
    } catch (const std::bad_alloc&) {
      LOG(ERROR) << "DM_TABLE_STATUS failed for " << name
                 << ": no memory for a reply buffer of " << size << " bytes";
      return false;
    }
    struct dm_ioctl io;
    InitRequestHeader(&io, name);
    io.data_size = static_cast<uint32_t>(size);
    io.data_start = sizeof(io);
    io.flags = flags;
    memcpy(&buffer[0], &io, sizeof(io));
    if (ioctl(fd_.get(), DM_TABLE_STATUS, &buffer[0]) < 0) {
      PLOG(ERROR) << "DM_TABLE_STATUS failed for " << name;
      return false;
    }
    memcpy(&io, buffer.data(), sizeof(io));
    if ((io.flags & DM_BUFFER_FULL_FLAG) == 0) break;
  }

  internal::WalkTableStatusReply(buffer, flags, table);
  return true;
}

std::string DeviceMapper::GetTargetType(const struct dm_target_spec& record) {
  return FieldText(record.target_type, sizeof(record.target_type));
}

void RedactTableInfo(const struct dm_target_spec& record, std::string* data) {
  if (DeviceMapper::GetTargetType(record) != "crypt") return;
  std::vector<std::string> fields = android::base::Split(*data, " ");
  if (fields.size() < 2) return;
  // The key is the field after the cipher. The kernel separates fields by
  // single blanks; should blanks be doubled or lead the line, the second
  // non-empty field is the key and is redacted too, so that no key leaves
  // through a run of blanks.
  size_t key = 0;
  for (size_t i = 0, seen = 0; i < fields.size() && key == 0; ++i) {
    if (!fields[i].empty() && ++seen == 2) key = i;
  }
  fields[1] = "redacted";
  if (key != 0) fields[key] = "redacted";
  *data = android::base::Join(fields, " ");
}

}  // namespace dm
}  // namespace android
