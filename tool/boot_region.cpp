#include "boot_region.h"

#include <android-base/unique_fd.h>
#include <android/log.h>
#include <errno.h>
#include <fcntl.h>
#include <libdm/dm_table.h>
#include <libdm/dm_target.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <memory>

namespace quillmap {

const std::array<BootRegionCandidate, 4> kBootRegionCandidates = {{
    {"preloader_raw_a", "/dev/block/sda"},
    {"preloader_raw_b", "/dev/block/sdb"},
    {"preloader_raw_a", "/dev/block/mmcblk0boot0"},
    {"preloader_raw_b", "/dev/block/mmcblk0boot1"},
}};

namespace {

constexpr char kTag[] = "quillmap";

#define LOG_ERROR(...) __android_log_print(ANDROID_LOG_ERROR, kTag, __VA_ARGS__)

// Reads the candidate's size and header. Logs and returns false on failure.
bool ReadRegion(const char* path, uint64_t* size, Header* header) {
  android::base::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) {
    LOG_ERROR("Failed to open %s: %s.", path, strerror(errno));
    return false;
  }
  const off_t end = lseek(fd.get(), 0, SEEK_END);
  if (end < 0 || lseek(fd.get(), 0, SEEK_SET) < 0) {
    LOG_ERROR("Failed to seek %s: %s.", path, strerror(errno));
    return false;
  }
  header->fill(0);
  ssize_t n;
  do {
    n = read(fd.get(), header->data(), header->size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    LOG_ERROR("Failed to read %s: %s.", path, strerror(errno));
    return false;
  }
  if (static_cast<size_t>(n) != header->size()) {
    // errno says nothing about a short read; say what came back instead.
    LOG_ERROR("Failed to read %s: %s.", path,
              ("read " + std::to_string(n) + " of 4 header bytes").c_str());
    return false;
  }
  *size = static_cast<uint64_t>(end);
  return true;
}

}  // namespace

std::optional<uint32_t> ReservedSectors(const Header& header) {
  if (memcmp(header.data(), "UFS", 3) == 0) return 8;
  if (memcmp(header.data(), "COMB", 4) == 0) return 8;
  if (memcmp(header.data(), "EMMC", 4) == 0) return 4;
  return std::nullopt;
}

std::string HeaderText(const Header& header) {
  std::string text;
  for (uint8_t byte : header) {
    if (byte == 0) break;
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      text.push_back(static_cast<char>(byte));
    } else {
      char escaped[5];
      snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
      text += escaped;
    }
  }
  return text;
}

std::optional<uint64_t> MappedSectors(uint64_t size_bytes, uint32_t reserved) {
  const uint64_t whole = size_bytes / kSectorSize;
  if (whole <= reserved) return std::nullopt;
  return whole - reserved;
}

void MapBootRegions(const std::vector<BootRegionCandidate>& candidates,
                    const DeviceMapperSource& device_mapper) {
  for (const BootRegionCandidate& candidate : candidates) {
    const char* path = candidate.path;
    if (access(path, F_OK) != 0) {
      LOG_ERROR("Device %s not found.", path);
      continue;
    }
    uint64_t size = 0;
    Header header{};
    if (!ReadRegion(path, &size, &header)) continue;

    const std::optional<uint32_t> reserved = ReservedSectors(header);
    if (!reserved) {
      LOG_ERROR("Unknown header %s for %s.", HeaderText(header).c_str(), path);
      continue;
    }
    // Checked before the control node is asked for: a region with nothing
    // after its reserved sectors is never sent to the kernel.
    const std::optional<uint64_t> length = MappedSectors(size, *reserved);
    if (!length) {
      LOG_ERROR("Device %s is too small.", path);
      continue;
    }
    android::dm::IDeviceMapper& dm = device_mapper();

    auto target = std::make_unique<android::dm::DmTargetLinear>(
        0, *length, path, *reserved);
    android::dm::DmTable table;
    if (!table.AddTarget(std::move(target))) {
      LOG_ERROR("Failed to add target for %s.", candidate.device_name);
      continue;
    }

    const std::string name = candidate.device_name;
    std::string device_path;
    if (dm.CreateDevice(name, table, &device_path, kCreateTimeout)) {
      __android_log_print(ANDROID_LOG_INFO, kTag, "Created DM device %s at %s.",
                          name.c_str(), device_path.c_str());
    } else {
      LOG_ERROR("Failed to create device %s.", name.c_str());
    }
  }
}

}  // namespace quillmap
