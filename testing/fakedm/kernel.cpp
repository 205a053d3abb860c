// The requests the library sends, as Linux 6.1's drivers/md/dm-ioctl.c and
// dm-table.c answer them. The functions follow the kernel's own steps so that
// the order of checks, and thus which errno wins, is the kernel's. Like
// ctl_ioctl, the kernel writes its interface version back into the caller's
// buffer even when the request then fails, copies the reply (data_size bytes)
// back only on success, and leaves the buffer otherwise untouched.
#include <errno.h>
#include <linux/dm-ioctl.h>
#include <linux/ioctl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <sstream>

#include "fake.h"

namespace fakedm {
namespace internal {
namespace {

constexpr uint32_t kInterfaceVersion[3] = {4, 47, 0};
constexpr size_t kHeaderSize = offsetof(struct dm_ioctl, data);  // 305
constexpr size_t kSpecSize = sizeof(struct dm_target_spec);

// The kernel's copy of the caller's buffer and what it works on.
struct Call {
  Fake& fake;
  std::vector<char>& param;
  size_t param_size;  // the request's data_size as it came in
  struct dm_ioctl* io;
};

// __find_device_hash_cell for a request that names its device; the reply
// gets its name and uuid and INACTIVE_PRESENT.
MappedDevice* FindDevice(Call& c) {
  struct dm_ioctl* io = c.io;
  MappedDevice* d = io->name[0] ? c.fake.Find(io->name, "") : nullptr;
  if (!d) return nullptr;
  snprintf(io->name, sizeof(io->name), "%s", d->name.c_str());
  snprintf(io->uuid, sizeof(io->uuid), "%s", d->uuid.c_str());
  io->flags &= ~DM_INACTIVE_PRESENT_FLAG;
  if (d->inactive) io->flags |= DM_INACTIVE_PRESENT_FLAG;
  return d;
}

// __dev_status.
void DevStatus(Call& c, const MappedDevice& d) {
  struct dm_ioctl* io = c.io;
  io->flags &= ~(DM_SUSPEND_FLAG | DM_READONLY_FLAG | DM_ACTIVE_PRESENT_FLAG |
                 DM_INTERNAL_SUSPEND_FLAG);
  if (d.suspended) io->flags |= DM_SUSPEND_FLAG;
  // The dev_t encoding glibc's major() and minor() decode.
  io->dev = (d.minor & 0xff) | (uint64_t{kDmMajor} << 8) |
            (uint64_t{d.minor & ~0xffu} << 12);
  io->open_count = c.fake.OpenCount(d.minor);
  io->target_count = 0;
  if (d.active) {
    if (d.active->read_only) io->flags |= DM_READONLY_FLAG;
    io->target_count = d.active->targets.size();
    io->flags |= DM_ACTIVE_PRESENT_FLAG;
  }
}

// A linear target's "<device> <sector>" after dm_split_args (whitespace
// separates; no test quotes): the device's number and size and the sector,
// or the errno the kernel gives.
struct Linear {
  int error = EINVAL;
  std::string number;
  uint64_t size = 0;
  uint64_t sector = 0;
};

Linear ParseLinear(Fake& fake, const std::string& params) {
  std::istringstream is(params);
  std::string device, sector, extra;  // NOLINT(readability-isolate-declaration)
  Linear l;
  if (!(is >> device >> sector) || (is >> extra) ||
      sector.find_first_not_of("0123456789") != std::string::npos)
    return l;
  errno = 0;
  l.sector = strtoull(sector.c_str(), nullptr, 10);
  l.error = errno ? EINVAL : fake.FindBlockDevice(device, &l.number, &l.size);
  return l;
}

// dm_table_add_target, with "linear" (parsed) and "crypt" (kept as text).
int AddTarget(Call& c, Table* t, const struct dm_target_spec& spec,
              const char* params) {
  Target target{
      spec.sector_start, spec.length,
      std::string(spec.target_type,
                  strnlen(spec.target_type, sizeof(spec.target_type))),
      params};
  if (spec.length == 0) return EINVAL;
  if (target.type != "linear" && target.type != "crypt") return EINVAL;
  // "Gap in table": each target starts where the previous one ended.
  if (spec.sector_start != t->sectors()) return EINVAL;
  if (target.type == "linear") {
    if (int err = ParseLinear(c.fake, target.params).error) return err;
  }
  t->targets.push_back(std::move(target));
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
  for (const Target& target : t.targets) {
    if (target.type != "linear") continue;
    const Linear l = ParseLinear(c.fake, target.params);
    const uint64_t dev_sectors = l.size >> 9;
    if (l.error || dev_sectors == 0) continue;
    if (l.sector >= dev_sectors || target.length > dev_sectors - l.sector)
      return EINVAL;
  }
  return 0;
}

// retrieve_status: records right after the header, `next` counting from
// there, each text NUL-terminated and padded to 8 bytes, data_size ending at
// the last text's NUL. A table that does not fit whole gets the flag alone.
void RetrieveStatus(Call& c, const Table& t) {
  struct dm_ioctl* io = c.io;
  io->data_start = sizeof(struct dm_ioctl);
  io->target_count = t.targets.size();
  size_t out = io->data_start;
  size_t end = kHeaderSize;
  for (const Target& target : t.targets) {
    std::string text;
    if ((io->flags & DM_STATUS_TABLE_FLAG) && target.type == "linear") {
      const Linear l = ParseLinear(c.fake, target.params);
      text = l.number + " " + std::to_string(l.sector);
    } else if (io->flags & DM_STATUS_TABLE_FLAG) {
      text = target.params;
    }
    const size_t padded = (kSpecSize + text.size() + 1 + 7) & ~size_t{7};
    if (out + padded > c.param_size) {
      io->flags |= DM_BUFFER_FULL_FLAG;
      io->data_size = kHeaderSize;
      return;
    }
    struct dm_target_spec spec = {};
    spec.sector_start = target.start;
    spec.length = target.length;
    spec.next = static_cast<uint32_t>(out + padded - io->data_start);
    strncpy(spec.target_type, target.type.c_str(),
            sizeof(spec.target_type) - 1);
    memcpy(c.param.data() + out, &spec, kSpecSize);
    memcpy(c.param.data() + out + kSpecSize, text.c_str(), text.size() + 1);
    end = out + kSpecSize + text.size() + 1;
    out += padded;
  }
  io->data_size = static_cast<uint32_t>(end);
}

int DevCreate(Call& c) {
  struct dm_ioctl* io = c.io;
  if (strchr(io->name, '/')) return EINVAL;
  // The lowest free minor (the tests never use up the 2^20).
  uint32_t minor = 0;
  while (c.fake.devices.count(minor)) ++minor;
  if (c.fake.Find(io->name, io->uuid)) return EBUSY;
  MappedDevice& d = c.fake.devices[minor];
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
  if (c.fake.OpenCount(d->minor) > 0) return EBUSY;
  const MappedDevice gone = std::move(*d);
  c.fake.devices.erase(gone.minor);
  // The kernel only sends the remove uevent for a device that had a disk.
  if (gone.block_device) {
    c.io->flags |= DM_UEVENT_GENERATED_FLAG;
    c.fake.Announce(gone, false);
  }
  return 0;
}

// DM_DEV_SUSPEND without DM_SUSPEND_FLAG: the staged table goes live.
int DevResume(Call& c) {
  if (c.io->flags & DM_SUSPEND_FLAG) return ENOTTY;  // the library never asks
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
  }
  if (d->suspended) {
    if (!d->active) return EINVAL;
    d->suspended = false;
    if (d->block_device) c.io->flags |= DM_UEVENT_GENERATED_FLAG;
  }
  DevStatus(c, *d);
  return 0;
}

int DevStatusCommand(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  DevStatus(c, *d);
  return 0;
}

int TableStatus(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  DevStatus(c, *d);
  if (d->active) RetrieveStatus(c, *d->active);
  return 0;
}

int TableLoad(Call& c) {
  MappedDevice* d = FindDevice(c);
  if (!d) return ENXIO;
  Table t;
  t.read_only = c.io->flags & DM_READONLY_FLAG;
  if (int err = PopulateTable(c, &t)) return err;
  // The first table sets the device up and adds its disk; only then are the
  // areas checked at load (later tables are checked at resume).
  if (!d->block_device) {
    if (int err = CheckDeviceAreas(c, t)) return err;
    d->block_device = true;
    c.fake.Announce(*d, true);
  }
  d->inactive = std::move(t);
  c.io->flags |= DM_INACTIVE_PRESENT_FLAG;
  DevStatus(c, *d);
  return 0;
}

struct Command {
  unsigned cmd;
  const char* name;
  bool no_params;  // the kernel copies only the header
  int (*fn)(Call&);
};

constexpr Command kCommands[] = {
    {DM_VERSION_CMD, "DM_VERSION", true, nullptr},
    {DM_DEV_CREATE_CMD, "DM_DEV_CREATE", true, DevCreate},
    {DM_DEV_REMOVE_CMD, "DM_DEV_REMOVE", true, DevRemove},
    {DM_DEV_SUSPEND_CMD, "DM_DEV_SUSPEND", true, DevResume},
    {DM_DEV_STATUS_CMD, "DM_DEV_STATUS", true, DevStatusCommand},
    {DM_TABLE_LOAD_CMD, "DM_TABLE_LOAD", false, TableLoad},
    {DM_TABLE_STATUS_CMD, "DM_TABLE_STATUS", false, TableStatus},
};

// The request's errno or 0; |request| and |device| name it for the log.
int Run(Fake& fake, unsigned long request, char* u, std::string* name,
        std::string* device) {
  const Command* command = nullptr;
  for (const Command& k : kCommands) {
    if (_IOC_TYPE(request) == DM_IOCTL && k.cmd == _IOC_NR(request))
      command = &k;
  }
  *name = command ? command->name : std::to_string(request);
  if (_IOC_TYPE(request) != DM_IOCTL) return ENOTTY;
  if (!u) return EFAULT;

  uint32_t version[3];
  memcpy(version, u, sizeof(version));
  memcpy(u, kInterfaceVersion, sizeof(version));
  if (version[0] != kInterfaceVersion[0] || version[1] > kInterfaceVersion[1])
    return EINVAL;
  if (command && !command->fn) return 0;  // DM_VERSION
  if (!command) return ENOTTY;
  struct dm_ioctl header;
  memcpy(&header, u, kHeaderSize);
  *device = std::string(header.name, strnlen(header.name, DM_NAME_LEN - 1));
  if (int err = fake.FaultErrno(command->name)) return err;
  if (header.data_size < kHeaderSize) return EINVAL;

  const size_t copy_in = command->no_params ? kHeaderSize : header.data_size;
  std::vector<char> param(std::max(copy_in, sizeof(struct dm_ioctl)), 0);
  memcpy(param.data(), u, copy_in);
  auto* io = reinterpret_cast<struct dm_ioctl*>(param.data());
  const size_t input_size = command->no_params ? kHeaderSize : io->data_size;
  // validate_params.
  io->flags &= ~(DM_BUFFER_FULL_FLAG | DM_UEVENT_GENERATED_FLAG |
                 DM_SECURE_DATA_FLAG | DM_DATA_OUT_FLAG);
  if (command->cmd == DM_DEV_CREATE_CMD && !io->name[0]) return EINVAL;
  io->name[DM_NAME_LEN - 1] = '\0';
  io->uuid[DM_UUID_LEN - 1] = '\0';
  io->data_size = kHeaderSize;
  Call call{fake, param, input_size, io};
  if (int err = command->fn(call)) return err;

  for (const Fault* f : fake.ReplyEdits(command->name)) {
    const std::string field = f->what.substr(f->what.find('.') + 1);
    const auto value = static_cast<uint32_t>(f->value);
    if (field == "target_count") io->target_count = value;
    if (field == "open_count") io->open_count = static_cast<int32_t>(value);
    if (field == "flags") io->flags = value;
  }
  memcpy(u, param.data(), std::min<size_t>(io->data_size, copy_in));
  return 0;
}

}  // namespace

int Fake::HandleIoctl(unsigned long request, void* arg) {
  ReloadIfChanged();
  std::string name;
  std::string device;
  const int err = Run(*this, request, static_cast<char*>(arg), &name, &device);
  Save();
  AppendRequest(name, device, err);
  ApplyDueEvents();
  return err;
}

}  // namespace internal
}  // namespace fakedm
