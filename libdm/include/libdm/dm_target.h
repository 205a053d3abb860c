// Device-mapper targets: one run of sectors of a mapped device, handled by
// one kernel target type and configured by a parameter text.
//
// A target is immutable after construction and is owned through a
// std::unique_ptr<DmTarget>, usually by a DmTable. Serialize() gives the
// record the kernel wants in a DM_TABLE_LOAD request: a 40-byte
// dm_target_spec (start, length, status 0, `next` = the record's whole
// length, the type name cut to 15 bytes and NUL-terminated), followed by the
// parameter text, a NUL and zero padding to a multiple of 8 bytes. The
// record contains zero bytes: handle it by length.
#pragma once

#include <stdint.h>

#include <string>

namespace android {
namespace dm {

class DmTarget {
 public:
  DmTarget(uint64_t start, uint64_t length) : start_(start), length_(length) {}
  virtual ~DmTarget() = default;

  // The kernel's name of the target type, e.g. "linear".
  virtual std::string name() const = 0;
  // Whether the target may be added to a table. Targets are fit by default.
  virtual bool Valid() const { return true; }
  // The target type's parameter text.
  virtual std::string GetParameterString() const = 0;

  // The encoded record (see above). Calls name() and GetParameterString()
  // once each.
  std::string Serialize() const;

  uint64_t start() const { return start_; }
  uint64_t length() const { return length_; }

 private:
  const uint64_t start_;
  const uint64_t length_;
};

// Maps its sectors onto a block device, from |backing_sector| on.
// Parameters: "<backing device> <backing sector>", e.g. "/dev/block/sda 8".
class DmTargetLinear final : public DmTarget {
 public:
  DmTargetLinear(uint64_t start, uint64_t length,
                 const std::string& backing_device, uint64_t backing_sector)
      : DmTarget(start, length),
        backing_device_(backing_device),
        backing_sector_(backing_sector) {}
  ~DmTargetLinear() override = default;

  std::string name() const override { return "linear"; }
  std::string GetParameterString() const override;

  const std::string& backing_device() const { return backing_device_; }
  uint64_t backing_sector() const { return backing_sector_; }

 private:
  const std::string backing_device_;
  const uint64_t backing_sector_;
};

}  // namespace dm
}  // namespace android
