// A device-mapper table: the ordered targets of one device and their
// encoding for DM_TABLE_LOAD.
//
// The table owns its targets; it can be moved, not copied, and only grows.
// AddTarget takes a target only when the target is Valid() and its length
// keeps the table's sector count within 64 bits; on refusal the caller keeps
// the target and the table is unchanged. valid() checks that there is a
// target and that the first starts at sector 0 (it logs why not); gaps and
// overlaps are left for the kernel to judge. Serialize() is the records of
// all targets in order, or the empty string for an invalid table.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "libdm/dm_target.h"

namespace android {
namespace dm {

class DmTable {
 public:
  DmTable() = default;
  DmTable(DmTable&&) = default;
  DmTable& operator=(DmTable&&) = default;
  DmTable(const DmTable&) = delete;
  DmTable& operator=(const DmTable&) = delete;

  // True when the table took |target| (then |target| is empty).
  bool AddTarget(std::unique_ptr<DmTarget>&& target);

  bool valid() const;
  std::string Serialize() const;

  uint64_t target_count() const { return targets_.size(); }
  uint64_t sector_count() const { return sector_count_; }
  bool read_only() const { return read_only_; }

 private:
  std::vector<std::unique_ptr<DmTarget>> targets_;
  uint64_t sector_count_ = 0;
  bool read_only_ = false;
};

}  // namespace dm
}  // namespace android
