// Tables and targets for tests: OneLinearTable, the table most tests load
// (one linear target of |length| sectors onto |disk| from its sector
// |sector|; a target the table refuses leaves it empty, which the kernel
// then refuses in turn), and TextTarget, a target of any type name and
// parameter text, valid or not, for tables the program never makes (given
// counters, it counts the calls of name() and GetParameterString()).
#pragma once

#include <libdm/dm_table.h>
#include <libdm/dm_target.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <utility>

namespace quillmap_testing {

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

inline android::dm::DmTable OneLinearTable(const std::string& disk,
                                           uint64_t length, uint64_t sector) {
  android::dm::DmTable table;
  table.AddTarget(
      std::make_unique<android::dm::DmTargetLinear>(0, length, disk, sector));
  return table;
}

}  // namespace quillmap_testing
