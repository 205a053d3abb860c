#include "libdm/dm_table.h"

#include <android-base/logging.h>

namespace android {
namespace dm {

bool DmTable::AddTarget(std::unique_ptr<DmTarget>&& target) {
  if (!target || !target->Valid()) return false;
  // A table longer than 2^64 - 1 sectors cannot be described to the kernel.
  if (target->length() > UINT64_MAX - sector_count_) return false;
  sector_count_ += target->length();
  targets_.push_back(std::move(target));
  return true;
}

bool DmTable::valid() const {
  if (targets_.empty()) {
    LOG(ERROR) << "Device-mapper table must have at least one target.";
    return false;
  }
  if (targets_[0]->start() != 0) {
    LOG(ERROR) << "Device-mapper table must start at logical sector 0.";
    return false;
  }
  return true;
}

std::string DmTable::Serialize() const {
  if (!valid()) return "";
  std::string records;
  for (const auto& target : targets_) records += target->Serialize();
  return records;
}

}  // namespace dm
}  // namespace android
