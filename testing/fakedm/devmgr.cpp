// The fake device manager; see devmgr.h.
#include "devmgr.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <vector>

#include "calls.h"
#include "text.h"

namespace fakedm {
namespace internal {
namespace {

namespace fs = std::filesystem;

// Larger mappings are left sparse: tests read only their first bytes.
constexpr uint64_t kMaxFilledBytes = 64ull << 20;
constexpr int64_t kNsPerMs = 1000000;

std::string LinkDir(const std::string& root) {
  return root + "/dev/block/mapper/by-uuid";
}

// The sandbox file behind a table line's device ("MAJ:MIN"), "" if none.
std::string FileOf(const State& state, const std::string& root,
                   const std::string& number) {
  BlockNumber n;
  if (!BlockNumber::Parse(number, &n)) return "";
  if (n.major == kDmMajor) return NodePath(root, n.minor);
  const std::string rel = state.BackingPath(n);
  return rel.empty() ? "" : root + "/" + rel;
}

void CopyRange(const std::string& from, uint64_t from_at, int to_fd,
               uint64_t to_at, uint64_t len) {
  const int in = Real().openat(AT_FDCWD, from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return;
  std::vector<char> buf(1 << 20);
  while (len > 0) {
    const ssize_t n = pread(in, buf.data(), std::min<uint64_t>(len, buf.size()),
                            static_cast<off_t>(from_at));
    if (n <= 0 || pwrite(to_fd, buf.data(), n, static_cast<off_t>(to_at)) != n)
      break;
    from_at += n;
    to_at += n;
    len -= n;
  }
  Real().close(in);
}

// Now on CLOCK_MONOTONIC, the clock of Event::due_ns.
int64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

}  // namespace

std::string NodePath(const std::string& root, uint32_t minor) {
  return root + "/dev/block/dm-" + std::to_string(minor);
}

bool ParseNodePath(const std::string& rel, uint32_t* minor) {
  constexpr std::string_view kPrefix = "dev/block/dm-";
  // Seven digits hold every minor the kernel gives (below 2^20).
  constexpr size_t kMaxDigits = 7;
  if (rel.compare(0, kPrefix.size(), kPrefix) != 0) return false;
  const std::string digits = rel.substr(kPrefix.size());
  return digits.size() <= kMaxDigits && ParseDecimal(digits, minor);
}

void ScheduleAdd(State& state, const DeviceManager& settings,
                 const MappedDevice& dev) {
  if (!settings.enabled) return;
  const int64_t now = NowNs();
  const int link_delay =
      settings.link_delay_ms < 0 ? settings.delay_ms : settings.link_delay_ms;
  state.Schedule(
      {now + settings.delay_ms * kNsPerMs, EventKind::kAddNode, dev.minor, ""});
  if (!dev.uuid.empty()) {
    state.Schedule({now + link_delay * kNsPerMs, EventKind::kAddLink, dev.minor,
                    dev.uuid});
  }
}

void ScheduleRemove(State& state, const DeviceManager& settings,
                    const MappedDevice& dev) {
  if (!settings.enabled) return;
  const int64_t due = NowNs() + settings.delay_ms * kNsPerMs;
  if (!dev.uuid.empty())
    state.Schedule({due, EventKind::kRemoveLink, dev.minor, dev.uuid});
  state.Schedule({due, EventKind::kRemoveNode, dev.minor, ""});
}

bool ApplyDueEvents(State& state, const std::string& root) {
  const int64_t now = NowNs();
  bool applied = false;
  std::error_code ec;
  while (!state.events.empty() && state.events.front().due_ns <= now) {
    const Event e = state.events.front();
    state.events.erase(state.events.begin());
    applied = true;
    const std::string link = LinkDir(root) + "/" + e.uuid;
    const std::string target = "../../dm-" + std::to_string(e.minor);
    switch (e.kind) {
      case EventKind::kAddNode:
        fs::create_directories(root + "/dev/block", ec);
        FillNode(state, root, e.minor);
        break;
      case EventKind::kAddLink:
        fs::create_directories(LinkDir(root), ec);
        fs::remove(link, ec);
        fs::create_symlink(target, link, ec);
        break;
      case EventKind::kRemoveNode:
        fs::remove(NodePath(root, e.minor), ec);
        break;
      case EventKind::kRemoveLink:
        // Only its own link: another device may have taken the uuid since.
        if (fs::read_symlink(link, ec) == target) fs::remove(link, ec);
        break;
    }
  }
  return applied;
}

void FillNode(const State& state, const std::string& root, uint32_t minor) {
  const int fd = Real().openat(AT_FDCWD, NodePath(root, minor).c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  auto it = state.devices.find(minor);
  if (it != state.devices.end() && it->second.active) {
    const Table& t = *it->second.active;
    const uint64_t total = t.sectors() << 9;
    if (ftruncate(fd, static_cast<off_t>(total)) == 0 &&
        total <= kMaxFilledBytes) {
      for (const LoadedTarget& lt : t.targets) {
        if (lt.target.type == "linear") {
          CopyRange(FileOf(state, root, lt.device), lt.offset << 9, fd,
                    lt.target.start << 9, lt.target.length << 9);
        }
      }
    }
  }
  Real().close(fd);
}

void RemoveNodesAndLinks(const std::string& root) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root + "/dev/block", ec)) {
    uint32_t minor = 0;
    if (ParseNodePath("dev/block/" + entry.path().filename().string(), &minor))
      fs::remove(entry.path(), ec);
  }
  fs::remove_all(LinkDir(root), ec);
}

}  // namespace internal
}  // namespace fakedm
