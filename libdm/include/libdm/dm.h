// The device-mapper control handle.
//
// DeviceMapper drives the kernel's control node "/dev/device-mapper" with
// ioctl requests. One instance per process (Instance()) holds the control
// descriptor for the life of the process; if the node cannot be opened the
// instance still exists and every request fails with EBADF.
//
// Contract of every operation: it returns bool (or DeviceState) and reports
// a failure by its log lines (through the platform's stream logger; lines
// carrying errno append ": " and its description) and its result. It throws
// only std::bad_alloc, when the heap runs out (a table query's reply buffer
// excepted: that failure is a false result). A name of 128 bytes or more
// (or a UUID of more than 128) does not fit the kernel's field with its NUL:
// every operation refuses it before any request, with the error line
// "[<name>] is too long to be device mapper name" (GetState: Unavailable). An
// out-parameter is written only on success: a string is replaced whole, while
// the table queries (GetTableInfo, GetTableStatus, GetTable) append to the
// caller's vector. Nothing about devices is cached: every answer is a fresh
// request.
//
// Paths: a device's node is "/dev/block/dm-<minor>", its link
// "/dev/block/mapper/by-uuid/<uuid>"; both are made and removed by the
// platform's device manager, which the waits poll for.
#pragma once

#include <android-base/unique_fd.h>
#include <linux/dm-ioctl.h>
#include <stdint.h>

#include <chrono>
#include <string>
#include <vector>

#include "libdm/dm_table.h"

namespace android {
namespace dm {

enum class DeviceState : int {
  Unavailable = 0,  // the status request failed: no such device, or no answer
  Inactive = 1,     // no live table, or suspended
  Active = 2,       // a live table and not suspended
};

class IDeviceMapper {
 public:
  // One target of a table read back from the kernel: its record as the
  // kernel gave it (its `next` means nothing to the holder) and its text.
  struct TargetInfo {
    struct dm_target_spec spec;
    std::string data;
    TargetInfo() : spec() {}
    TargetInfo(const struct dm_target_spec& spec, const std::string& data)
        : spec(spec), data(data) {}
  };

  virtual ~IDeviceMapper() = default;

  // Registers |name| under a fresh UUID, loads and resumes |table| and waits
  // up to |timeout| for the device's link. On true, |*path| is the node
  // path. On false the device registered here has been removed again,
  // unless that removal itself failed (its error line says so); then the
  // device stays registered.
  virtual bool CreateDevice(const std::string& name, const DmTable& table,
                            std::string* path,
                            const std::chrono::milliseconds& timeout) = 0;
  virtual DeviceState GetState(const std::string& name) const = 0;
  // Loads |table| as the inactive table, then resumes the device.
  virtual bool LoadTableAndActivate(const std::string& name,
                                    const DmTable& table) = 0;
  // Loads |table| as the device's inactive table.
  virtual bool LoadTable(const std::string& name, const DmTable& table) = 0;
  // Appends the table lines of the live table (crypt keys redacted).
  virtual bool GetTableInfo(const std::string& name,
                            std::vector<TargetInfo>* table) = 0;
  // Appends the status lines of the live table.
  virtual bool GetTableStatus(const std::string& name,
                              std::vector<TargetInfo>* table) = 0;
  virtual bool GetDmDevicePathByName(const std::string& name,
                                     std::string* path) = 0;
  // "<major>:<minor>" of the device.
  virtual bool GetDeviceString(const std::string& name, std::string* dev) = 0;
  // True when no device bears |name| afterwards (it removes one that does).
  virtual bool DeleteDeviceIfExists(const std::string& name) = 0;
};

class DeviceMapper : public IDeviceMapper {
 public:
  // The process-wide instance, made (and the control node opened) on first
  // use; thread-safe.
  static DeviceMapper& Instance();

  ~DeviceMapper() override;
  DeviceMapper(const DeviceMapper&) = delete;
  DeviceMapper& operator=(const DeviceMapper&) = delete;

  bool CreateDevice(const std::string& name, const DmTable& table,
                    std::string* path,
                    const std::chrono::milliseconds& timeout) override;
  DeviceState GetState(const std::string& name) const override;
  bool LoadTableAndActivate(const std::string& name,
                            const DmTable& table) override;
  bool LoadTable(const std::string& name, const DmTable& table) override;
  bool GetTableInfo(const std::string& name,
                    std::vector<TargetInfo>* table) override;
  bool GetTableStatus(const std::string& name,
                      std::vector<TargetInfo>* table) override;
  bool GetDmDevicePathByName(const std::string& name,
                             std::string* path) override;
  bool GetDeviceString(const std::string& name, std::string* dev) override;
  bool DeleteDeviceIfExists(const std::string& name) override;

  // Registers |name| with no table, under |uuid| (none when empty). A reply
  // claiming targets or openers on the new device fails a fatal check: the
  // registration is taken back and the process ends.
  bool CreateDevice(const std::string& name, const std::string& uuid);
  // Registers |name| with no table under a freshly generated UUID.
  bool CreateEmptyDevice(const std::string& name);
  // Resolves the device's paths and waits up to |timeout| for its link (in
  // old recovery systems, its node). On true |*path| is the node path; on
  // false |*path| is untouched and the device has been removed, unless the
  // removal failed too (its error line says so).
  bool WaitForDevice(const std::string& name,
                     const std::chrono::milliseconds& timeout,
                     std::string* path);
  // Removes the device; with a positive |timeout| also waits for its link
  // to vanish. A removal that meets EBUSY (a device manager probing the new
  // device holds it open briefly) is tried again four times over about
  // 750 ms, each retry logged as a warning. The device may be gone even when
  // this returns false.
  bool DeleteDevice(const std::string& name,
                    const std::chrono::milliseconds& timeout);
  // "/dev/block/mapper/by-uuid/<uuid>"; false when the device has no UUID.
  bool GetDeviceUniquePath(const std::string& name, std::string* path);
  // The kernel's device number, as the kernel encodes it.
  bool GetDeviceNumber(const std::string& name, unsigned long* dev);
  // DM_TABLE_STATUS with |flags| (0 or DM_STATUS_TABLE_FLAG); appends one
  // entry per target to |*table|. False, with nothing appended, when the
  // request fails.
  bool GetTable(const std::string& name, unsigned int flags,
                std::vector<TargetInfo>* table);
  // The record's type name: up to the first NUL of its 16 bytes.
  static std::string GetTargetType(const struct dm_target_spec& record);

 protected:
  // Opens the control node (tests derive to get a fresh handle).
  DeviceMapper();

  // Zeroes |io| and frames it for a request about |name|.
  static void InitRequestHeader(struct dm_ioctl* io, const std::string& name);

 private:
  // Issues one bare status request; false (errno set) when it fails.
  bool QueryStatus(const std::string& name, struct dm_ioctl* io) const;

  android::base::unique_fd fd_;  // the control node; -1 if it failed to open
};

// Replaces the key (second blank-separated field) of a "crypt" target's
// table line with "redacted", and the second non-empty field as well, which
// differs only where blanks are doubled or lead the line. Other target types
// are left unchanged.
void RedactTableInfo(const struct dm_target_spec& record, std::string* data);

}  // namespace dm
}  // namespace android
