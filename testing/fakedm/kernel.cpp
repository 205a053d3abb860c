// Device-mapper requests as Linux 6.1's drivers/md/dm-ioctl.c answers them.
// The functions follow the kernel's own steps so that the order of checks,
// and thus which errno wins, is the kernel's.
#include "kernel.h"

#include <errno.h>
#include <linux/dm-ioctl.h>
#include <linux/ioctl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "kernel_call.h"

namespace fakedm {
namespace internal {
namespace {

constexpr size_t kHeaderSize = offsetof(struct dm_ioctl, data);  // 305
constexpr uint32_t kMinorCount = 1u << 20;
// More targets than the kernel can allocate room for.
constexpr uint32_t kMaxTargets = 1u << 24;

constexpr const char* kCommandNames[] = {
    "DM_VERSION",          "DM_REMOVE_ALL",    "DM_LIST_DEVICES",
    "DM_DEV_CREATE",       "DM_DEV_REMOVE",    "DM_DEV_RENAME",
    "DM_DEV_SUSPEND",      "DM_DEV_STATUS",    "DM_DEV_WAIT",
    "DM_TABLE_LOAD",       "DM_TABLE_CLEAR",   "DM_TABLE_DEPS",
    "DM_TABLE_STATUS",     "DM_LIST_VERSIONS", "DM_TARGET_MSG",
    "DM_DEV_SET_GEOMETRY", "DM_DEV_ARM_POLL",  "DM_GET_TARGET_VERSION"};

// What __find_device_hash_cell does: one of uuid, name or dev picks the
// device; the reply gets its name and uuid and INACTIVE_PRESENT.
MappedDevice* FindDevice(Call& c) {
  struct dm_ioctl* io = c.io;
  MappedDevice* d = nullptr;
  if (io->uuid[0]) {
    if (io->name[0] || io->dev) return nullptr;
    d = c.state.ByUuid(io->uuid);
  } else if (io->name[0]) {
    if (io->dev) return nullptr;
    d = c.state.ByName(io->name);
  } else if (io->dev) {
    BlockNumber n = DecodeDev(io->dev);
    auto it = c.state.devices.find(n.minor);
    if (n.major == kDmMajor && it != c.state.devices.end()) d = &it->second;
  }
  if (!d) return nullptr;
  memset(io->name, 0, sizeof(io->name));
  memset(io->uuid, 0, sizeof(io->uuid));
  strncpy(io->name, d->name.c_str(), sizeof(io->name) - 1);
  strncpy(io->uuid, d->uuid.c_str(), sizeof(io->uuid) - 1);
  if (d->inactive) {
    io->flags |= DM_INACTIVE_PRESENT_FLAG;
  } else {
    io->flags &= ~DM_INACTIVE_PRESENT_FLAG;
  }
  return d;
}

// __dev_status.
void DevStatus(Call& c, const MappedDevice& d) {
  struct dm_ioctl* io = c.io;
  io->flags &= ~(DM_SUSPEND_FLAG | DM_READONLY_FLAG | DM_ACTIVE_PRESENT_FLAG |
                 DM_INTERNAL_SUSPEND_FLAG);
  if (d.suspended) io->flags |= DM_SUSPEND_FLAG;
  io->dev = EncodeDev({kDmMajor, d.minor});
  io->open_count = c.hooks.OpenCount(d.minor);
  io->event_nr = d.event_nr;
  io->target_count = 0;
  const bool query_inactive = io->flags & DM_QUERY_INACTIVE_TABLE_FLAG;
  if (d.active) {
    if (!query_inactive) {
      if (d.read_only) io->flags |= DM_READONLY_FLAG;
      io->target_count = d.active->targets.size();
    }
    io->flags |= DM_ACTIVE_PRESENT_FLAG;
  }
  if (query_inactive && d.inactive) {
    if (d.inactive->read_only) io->flags |= DM_READONLY_FLAG;
    io->target_count = d.inactive->targets.size();
  }
}

int DevCreate(Call& c) {
  struct dm_ioctl* io = c.io;
  if (strchr(io->name, '/')) return EINVAL;
  uint32_t minor = 0;
  // The minor comes first; dm_create fails ENXIO whenever it cannot have one.
  if (io->flags & DM_PERSISTENT_DEV_FLAG) {
    minor = DecodeDev(io->dev).minor;
    if (c.state.devices.count(minor)) return ENXIO;
  } else {
    while (minor < kMinorCount && c.state.devices.count(minor)) ++minor;
    if (minor == kMinorCount) return ENXIO;
  }
  if (c.state.ByName(io->name) || c.state.ByUuid(io->uuid)) return EBUSY;
  MappedDevice& d = c.state.devices[minor];
  d.name = io->name;
  d.uuid = io->uuid;
  d.minor = minor;
  io->flags &= ~DM_INACTIVE_PRESENT_FLAG;
  DevStatus(c, d);
  return 0;
}

int DevRemove(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  if (c.hooks.OpenCount(d->minor) > 0) return EBUSY;
  MappedDevice gone = std::move(*d);
  c.state.devices.erase(gone.minor);
  // The kernel only sends the remove uevent for a device that had a disk.
  if (gone.block_device) c.io->flags |= DM_UEVENT_GENERATED_FLAG;
  c.hooks.Removed(gone, gone.block_device);
  return 0;
}

int DoSuspend(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  d->suspended = true;
  DevStatus(c, *d);
  return 0;
}

int DoResume(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  std::optional<Table> next = std::move(d->inactive);
  d->inactive.reset();
  c.io->flags &= ~DM_INACTIVE_PRESENT_FLAG;
  if (next) {
    // The swap happens suspended; a table that does not fit its devices is
    // dropped there and the device stays suspended.
    d->suspended = true;
    if (int err = CheckDeviceAreas(c, *next)) return err;
    d->active = std::move(next);
    d->read_only = d->active->read_only;
  }
  if (d->suspended) {
    if (!d->active) return EINVAL;
    d->suspended = false;
    if (d->block_device) c.io->flags |= DM_UEVENT_GENERATED_FLAG;
  }
  c.hooks.Resumed(*d);
  DevStatus(c, *d);
  return 0;
}

int DevSuspend(Call& c) {
  return (c.io->flags & DM_SUSPEND_FLAG) ? DoSuspend(c) : DoResume(c);
}

int DevStatusCommand(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  DevStatus(c, *d);
  return 0;
}

int TableLoad(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  if (c.io->target_count > kMaxTargets) return ENOMEM;
  Table t;
  t.read_only = c.io->flags & DM_READONLY_FLAG;
  if (int err = PopulateTable(c, &t)) return err;
  // The first table sets the device up and adds its disk; only then are the
  // areas checked at load (later tables are checked at resume).
  if (!d->block_device) {
    if (int err = CheckDeviceAreas(c, t)) return err;
    d->block_device = true;
    c.hooks.BlockDeviceAdded(*d);
  }
  d->inactive = std::move(t);
  c.io->flags |= DM_INACTIVE_PRESENT_FLAG;
  DevStatus(c, *d);
  return 0;
}

int TableStatus(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  DevStatus(c, *d);
  const std::optional<Table>& t =
      (c.io->flags & DM_QUERY_INACTIVE_TABLE_FLAG) ? d->inactive : d->active;
  if (t) RetrieveStatus(c, *t);
  return 0;
}

struct Command {
  unsigned cmd;
  bool no_params;  // the kernel copies only the header
  int (*fn)(Call&);
};

constexpr Command kCommands[] = {
    {DM_DEV_CREATE_CMD, true, DevCreate},
    {DM_DEV_REMOVE_CMD, true, DevRemove},
    {DM_DEV_SUSPEND_CMD, true, DevSuspend},
    {DM_DEV_STATUS_CMD, true, DevStatusCommand},
    {DM_TABLE_LOAD_CMD, false, TableLoad},
    {DM_TABLE_STATUS_CMD, false, TableStatus},
};

// validate_params.
int ValidateParams(unsigned cmd, struct dm_ioctl* io) {
  io->flags &= ~(DM_BUFFER_FULL_FLAG | DM_UEVENT_GENERATED_FLAG |
                 DM_SECURE_DATA_FLAG | DM_DATA_OUT_FLAG);
  if (cmd == DM_DEV_CREATE_CMD) {
    if (!io->name[0]) return EINVAL;
  } else if (io->uuid[0] && io->name[0]) {
    return EINVAL;
  }
  io->name[DM_NAME_LEN - 1] = '\0';
  io->uuid[DM_UUID_LEN - 1] = '\0';
  return 0;
}

std::string DeviceOf(const char* name, const char* uuid) {
  if (name[0]) return std::string(name, strnlen(name, DM_NAME_LEN));
  return std::string(uuid, strnlen(uuid, DM_UUID_LEN));
}

}  // namespace

uint64_t EncodeDev(BlockNumber n) {
  return (n.minor & 0xff) | (uint64_t{n.major} << 8) |
         (uint64_t{n.minor & ~0xffu} << 12);
}

BlockNumber DecodeDev(uint64_t dev) {
  const uint32_t d = static_cast<uint32_t>(dev);
  return {(d & 0xfff00) >> 8, (d & 0xff) | ((d >> 12) & 0xfff00)};
}

std::string CommandName(unsigned cmd) {
  return cmd < std::size(kCommandNames) ? kCommandNames[cmd] : "";
}

Outcome Ioctl(State& state, KernelHooks& hooks, unsigned long request,
              void* user) {
  Outcome outcome;
  const unsigned cmd = _IOC_NR(request);
  outcome.request = _IOC_TYPE(request) == DM_IOCTL ? CommandName(cmd) : "";
  if (outcome.request.empty()) {
    char hex[32];
    snprintf(hex, sizeof(hex), "0x%lx", request);
    outcome.request = hex;
  }
  auto fail = [&outcome](int err) {
    outcome.error = err;
    return outcome;
  };
  if (_IOC_TYPE(request) != DM_IOCTL) return fail(ENOTTY);
  if (!user) return fail(EFAULT);
  char* u = static_cast<char*>(user);

  uint32_t version[3];
  memcpy(version, u, sizeof(version));
  memcpy(u, kInterfaceVersion, sizeof(version));
  if (version[0] != kInterfaceVersion[0] || version[1] > kInterfaceVersion[1]) {
    return fail(EINVAL);
  }
  if (cmd == DM_VERSION_CMD) return outcome;
  const Command* command = nullptr;
  for (const Command& k : kCommands) {
    if (k.cmd == cmd) command = &k;
  }
  if (!command) return fail(ENOTTY);
  struct dm_ioctl header;
  memcpy(&header, u, kHeaderSize);
  outcome.device = DeviceOf(header.name, header.uuid);
  if (int err = hooks.InjectedFailure(cmd)) return fail(err);
  if (header.data_size < kHeaderSize) return fail(EINVAL);

  const size_t copy_in = command->no_params ? kHeaderSize : header.data_size;
  std::vector<char> param(std::max(copy_in, sizeof(struct dm_ioctl)), 0);
  memcpy(param.data(), u, copy_in);
  auto* io = reinterpret_cast<struct dm_ioctl*>(param.data());
  if (command->no_params) io->data_size = kHeaderSize;

  const size_t input_size = io->data_size;
  if (int err = ValidateParams(cmd, io)) return fail(err);
  io->data_size = kHeaderSize;
  Call call{state, hooks, param, input_size, io};
  const int err = command->fn(call);
  outcome.device = DeviceOf(io->name, io->uuid);
  if (err) return fail(err);

  size_t copy_out = io->data_size;
  hooks.EditReply(cmd, param, copy_in, &copy_out);
  memcpy(u, param.data(), std::min(copy_out, copy_in));
  return outcome;
}

}  // namespace internal
}  // namespace fakedm
