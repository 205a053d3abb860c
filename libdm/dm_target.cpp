#include "libdm/dm_target.h"

#include <linux/dm-ioctl.h>
#include <stdio.h>
#include <string.h>

namespace android {
namespace dm {

static_assert(sizeof(struct dm_target_spec) == 40,
              "the kernel's target record is 40 bytes");

std::string DmTarget::Serialize() const {
  const std::string type = name();
  const std::string params = GetParameterString();

  std::string record(sizeof(struct dm_target_spec), '\0');
  record += params;
  record.push_back('\0');
  // The kernel reads each record at an 8-byte aligned offset.
  record.resize((record.size() + 7) & ~static_cast<size_t>(7), '\0');

  struct dm_target_spec spec = {};
  spec.sector_start = start_;
  spec.length = length_;
  spec.status = 0;
  spec.next = static_cast<uint32_t>(record.size());
  snprintf(spec.target_type, sizeof(spec.target_type), "%s", type.c_str());
  memcpy(&record[0], &spec, sizeof(spec));
  return record;
}

std::string DmTargetLinear::GetParameterString() const {
  return backing_device_ + " " + std::to_string(backing_sector_);
}

}  // namespace dm
}  // namespace android
