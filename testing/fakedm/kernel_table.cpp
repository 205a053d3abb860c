// Tables as Linux 6.1's dm-table.c and dm-ioctl.c handle them: parsing a
// DM_TABLE_LOAD buffer into targets (populate_table and the target
// constructors), the device-area check, and the DM_TABLE_STATUS reply
// layout (retrieve_status).
#include <ctype.h>
#include <errno.h>
#include <linux/dm-ioctl.h>
#include <string.h>

#include <algorithm>
#include <iterator>

#include "kernel_call.h"
#include "text.h"

namespace fakedm {
namespace internal {
namespace {

// Target types the fake accepts; all but "linear" are kept as opaque text.
constexpr const char* kTargetTypes[] = {
    "linear", "striped", "error",    "zero",
    "crypt",  "verity",  "snapshot", "snapshot-origin",
    "mirror", "delay",   "flakey",   "default-key",
    "bow",    "user"};

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

// The linear constructor: "<device> <sector>".
int LinearConstructor(Call& c, LoadedTarget* lt) {
  std::vector<std::string> args = SplitArgs(lt->target.params);
  if (args.size() != 2 || !ParseDecimal(args[1], &lt->offset)) return EINVAL;
  BlockDevice bd;
  if (int err = c.hooks.FindBlockDevice(args[0], &bd)) return err;
  lt->device = bd.number.Text();
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

}  // namespace

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

}  // namespace internal
}  // namespace fakedm
