// Tables and targets for tests: LinearTable, the one builder of the linear
// tables most tests load (a target the table refuses is left out); TextTarget,
// a target of any type name and text, valid or not, counting the calls of
// name() and GetParameterString() when given counters; and kUfs, the header the
// tests' UFS boot units carry.
#pragma once

#include <libdm/dm_table.h>
#include <libdm/dm_target.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quillmap_testing {

inline const std::string kUfs("UFS\0", 4);

class TextTarget : public android::dm::DmTarget {
 public:
  TextTarget(uint64_t start, uint64_t length, std::string name,
             std::string params, bool valid = true, int* name_calls = nullptr,
             int* param_calls = nullptr)
      : DmTarget(start, length),
        name_(std::move(name)),
        params_(std::move(params)),
        valid_(valid),
        name_calls_(name_calls),
        param_calls_(param_calls) {}
  std::string name() const override {
    if (name_calls_) ++*name_calls_;
    return name_;
  }
  bool Valid() const override { return valid_; }
  std::string GetParameterString() const override {
    if (param_calls_) ++*param_calls_;
    return params_;
  }

 private:
  std::string name_, params_;
  bool valid_;
  int* name_calls_;
  int* param_calls_;
};

// A linear target of |length| sectors onto |disk| from its |sector| on.
struct Linear {
  uint64_t length;
  std::string disk;
  uint64_t sector;
};

// The targets one after the other from sector 0.
inline android::dm::DmTable LinearTable(const std::vector<Linear>& targets) {
  android::dm::DmTable table;
  uint64_t start = 0;
  for (const Linear& t : targets) {
    table.AddTarget(std::make_unique<android::dm::DmTargetLinear>(
        start, t.length, t.disk, t.sector));
    start += t.length;
  }
  return table;
}

}  // namespace quillmap_testing
