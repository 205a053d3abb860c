// Boot-region probing: which candidates to look at, how their headers are
// classified, and the walk that turns each recognised boot region into a
// device-mapper device with one linear target.
//
// The walk's own lines go through the platform's log library under the tag
// "quillmap": every failure at error priority, a created device at info.
// The library's lines about the same failures come through the stream
// logger at their own severities, some at warning (DeviceMapper's).
// A candidate's failure never stops the walk, and the walk has no result.
// One thing does end the process: a kernel whose reply to registering a
// device claims targets or openers on it fails the library's fatal check
// (after the registration has been taken back).
#pragma once

#include <libdm/dm.h>
#include <stdint.h>

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmap {

struct BootRegionCandidate {
  const char* device_name;  // device-mapper name to create
  const char* path;         // block device holding the boot region
};

// The candidates in the order of work: UFS boot units, then eMMC boot
// partitions. Each device name is used once per storage type.
extern const std::array<BootRegionCandidate, 4> kBootRegionCandidates;

// How long each creation waits for its device's link to appear.
inline constexpr std::chrono::milliseconds kCreateTimeout(500);

constexpr uint64_t kSectorSize = 512;
constexpr size_t kHeaderSize = 4;
using Header = std::array<uint8_t, kHeaderSize>;

// The number of leading sectors the header reserves: 8 for "UFS" + any
// byte and for "COMB", 4 for "EMMC"; nullopt for anything else.
std::optional<uint32_t> ReservedSectors(const Header& header);

// The header as log text: up to the first zero byte, with bytes outside
// printable ASCII (and the backslash) written as \xNN.
std::string HeaderText(const Header& header);

// The number of sectors to map after |reserved| sectors of a device of
// |size_bytes|; a partial last sector is not mapped. nullopt when nothing
// would be left to map.
std::optional<uint64_t> MappedSectors(uint64_t size_bytes, uint32_t reserved);

// Supplies the device-mapper handle; asked when the first header is
// recognised, so the control node is opened only if there is work for it.
using DeviceMapperSource = std::function<android::dm::IDeviceMapper&()>;

// Walks |candidates| in order; see the header comment.
void MapBootRegions(const std::vector<BootRegionCandidate>& candidates,
                    const DeviceMapperSource& device_mapper);

}  // namespace quillmap
