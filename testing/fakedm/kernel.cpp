// Device-mapper requests as Linux 6.1's drivers/md/dm-ioctl.c answers them.
// The functions follow the kernel's own steps so that the order of checks,
// and thus which errno wins, is the kernel's.
#include "kernel.h"

#include <ctype.h>
#include <errno.h>
#include <linux/dm-ioctl.h>
#include <linux/ioctl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <iterator>

namespace fakedm {
namespace internal {
namespace {

constexpr size_t kHeaderSize = offsetof(struct dm_ioctl, data);  // 305
constexpr size_t kSpecSize = sizeof(struct dm_target_spec);      // 40
constexpr uint32_t kMinorCount = 1u << 20;
// More targets than the kernel can allocate room for.
constexpr uint32_t kMaxTargets = 1u << 24;

// Target types the fake accepts; all but "linear" are kept as opaque text.
constexpr const char* kTargetTypes[] = {
    "linear", "striped", "error",    "zero",
    "crypt",  "verity",  "snapshot", "snapshot-origin",
    "mirror", "delay",   "flakey",   "default-key",
    "bow",    "user"};

constexpr const char* kCommandNames[] = {
    "DM_VERSION",          "DM_REMOVE_ALL",    "DM_LIST_DEVICES",
    "DM_DEV_CREATE",       "DM_DEV_REMOVE",    "DM_DEV_RENAME",
    "DM_DEV_SUSPEND",      "DM_DEV_STATUS",    "DM_DEV_WAIT",
    "DM_TABLE_LOAD",       "DM_TABLE_CLEAR",   "DM_TABLE_DEPS",
    "DM_TABLE_STATUS",     "DM_LIST_VERSIONS", "DM_TARGET_MSG",
    "DM_DEV_SET_GEOMETRY", "DM_DEV_ARM_POLL",  "DM_GET_TARGET_VERSION"};

// One request in flight: the kernel's copy of the caller's buffer.
struct Call {
  State& state;
  KernelHooks& hooks;
  std::vector<char>& param;
  size_t param_size;  // the request's data_size as it came in
  struct dm_ioctl* io;
};

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
  if (d.deferred_remove) io->flags |= DM_DEFERRED_REMOVE;
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

// dm_split_args: whitespace separates, a backslash quotes the next byte.
std::vector<std::string> SplitArgs(const std::string& text) {
  std::vector<std::string> args;
  size_t i = 0;
  while (true) {
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i == text.size()) return args;
    std::string arg;
    while (i < text.size() && !isspace(static_cast<unsigned char>(text[i]))) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      arg += text[i++];
    }
    args.push_back(arg);
  }
}

bool ParseSector(const std::string& s, uint64_t* out) {
  if (s.empty() || s.size() > 20 ||
      s.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  errno = 0;
  *out = strtoull(s.c_str(), nullptr, 10);
  return errno == 0;
}

std::string Number(BlockNumber n) {
  return std::to_string(n.major) + ":" + std::to_string(n.minor);
}

// The linear constructor: "<device> <sector>".
int LinearConstructor(Call& c, LoadedTarget* lt) {
  std::vector<std::string> args = SplitArgs(lt->target.params);
  if (args.size() != 2 || !ParseSector(args[1], &lt->offset)) return EINVAL;
  BlockDevice bd;
  if (int err = c.hooks.FindBlockDevice(args[0], &bd)) return err;
  lt->device = Number(bd.number);
  return 0;
}

// dm_table_add_target.
int AddTarget(Call& c, Table* t, const struct dm_target_spec& spec,
              const char* params) {
  if (spec.length == 0) return EINVAL;
  LoadedTarget lt;
  lt.target.type.assign(spec.target_type,
                        strnlen(spec.target_type, sizeof(spec.target_type)));
  if (std::find(std::begin(kTargetTypes), std::end(kTargetTypes),
                lt.target.type) == std::end(kTargetTypes)) {
    return EINVAL;
  }
  // "Gap in table": each target starts where the previous one ended.
  if (spec.sector_start != t->sectors()) return EINVAL;
  lt.target.start = spec.sector_start;
  lt.target.length = spec.length;
  lt.target.params = params;
  if (lt.target.type == "linear") {
    if (int err = LinearConstructor(c, &lt)) return err;
  }
  t->targets.push_back(std::move(lt));
  return 0;
}

// populate_table: `next` counts from the start of the current record (from
// the header for the first), each record must lie after the previous one and
// its parameter text must end inside the buffer.
int PopulateTable(Call& c, Table* t) {
  if (c.io->target_count == 0) return EINVAL;
  uint64_t at = 0;
  uint64_t next = c.io->data_start;
  for (uint32_t i = 0; i < c.io->target_count; ++i) {
    const uint64_t spec_at = at + next;
    const uint64_t params_at = spec_at + kSpecSize;
    if (spec_at < at + kSpecSize || params_at >= c.param_size) return EINVAL;
    const char* params = c.param.data() + params_at;
    if (strnlen(params, c.param_size - params_at) == c.param_size - params_at)
      return EINVAL;
    struct dm_target_spec spec;
    memcpy(&spec, c.param.data() + spec_at, kSpecSize);
    if (int err = AddTarget(c, t, spec, params)) return err;
    at = spec_at;
    next = spec.next;
  }
  return 0;
}

// device_area_is_invalid, for every linear target: the mapped area must lie
// inside its device (a device of size 0 passes).
int CheckDeviceAreas(Call& c, const Table& t) {
  for (const LoadedTarget& lt : t.targets) {
    if (lt.target.type != "linear") continue;
    BlockDevice bd;
    if (c.hooks.FindBlockDevice(lt.device, &bd) != 0) continue;
    const uint64_t dev_sectors = bd.size_bytes >> 9;
    if (dev_sectors == 0) continue;
    if (lt.offset >= dev_sectors || lt.target.length > dev_sectors - lt.offset)
      return EINVAL;
  }
  return 0;
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
  if (c.hooks.OpenCount(d->minor) > 0) {
    if (c.io->flags & DM_DEFERRED_REMOVE) {
      d->deferred_remove = true;
      return 0;
    }
    return EBUSY;
  }
  MappedDevice gone = std::move(*d);
  c.state.devices.erase(gone.minor);
  c.io->flags &= ~DM_DEFERRED_REMOVE;
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

// retrieve_status: records from data_start (right after the header, or at
// the end of a buffer shorter than the header), `next` counting from there,
// each text NUL-terminated and padded to 8 bytes, data_size ending at the last
// text's NUL.
void RetrieveStatus(Call& c, const Table& t) {
  struct dm_ioctl* io = c.io;
  io->data_start =
      static_cast<uint32_t>(std::min(sizeof(struct dm_ioctl), c.param_size));
  const size_t len = c.param_size - io->data_start;
  char* outbuf = c.param.data() + io->data_start;
  size_t out = 0;
  size_t used = 0;
  const bool table_lines = io->flags & DM_STATUS_TABLE_FLAG;
  for (const LoadedTarget& lt : t.targets) {
    size_t remaining = len - out;
    if (remaining <= kSpecSize) {
      io->flags |= DM_BUFFER_FULL_FLAG;
      break;
    }
    struct dm_target_spec spec;
    memcpy(&spec, outbuf + out, kSpecSize);
    spec.status = 0;
    spec.sector_start = lt.target.start;
    spec.length = lt.target.length;
    strncpy(spec.target_type, lt.target.type.c_str(),
            sizeof(spec.target_type) - 1);
    const size_t spec_at = out;
    out += kSpecSize;
    remaining = len - out;

    std::string text;
    if (table_lines) {
      text = lt.target.type == "linear"
                 ? lt.device + " " + std::to_string(lt.offset)
                 : lt.target.params;
    }
    const size_t n = std::min(text.size(), remaining - 1);
    memcpy(outbuf + out, text.data(), n);
    outbuf[out + n] = '\0';
    const size_t l = n + 1;
    if (l == remaining) {
      memcpy(outbuf + spec_at, &spec, kSpecSize);
      io->flags |= DM_BUFFER_FULL_FLAG;
      break;
    }
    out += l;
    used = io->data_start + out;
    out = (out + 7) & ~size_t{7};
    // A record whose padding passes the buffer's end counts (data_size
    // covers its text) but gets no `next`.
    if (out > len) {
      memcpy(outbuf + spec_at, &spec, kSpecSize);
      io->flags |= DM_BUFFER_FULL_FLAG;
      break;
    }
    spec.next = out;
    memcpy(outbuf + spec_at, &spec, kSpecSize);
  }
  if (used) io->data_size = used;
  io->target_count = t.targets.size();
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
  // The kernel wipes the caller's buffer once it has a copy of secrets.
  if (io->flags & DM_SECURE_DATA_FLAG) memset(u, 0, io->data_size);

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
