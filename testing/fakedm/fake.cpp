// The fake's process-wide object (see fake.h) but its requests and its state
// store: the root, the faults, the device manager, the descriptors and the
// block devices tables name.
#include "fake.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fakedm {
namespace internal {
namespace {

namespace fs = std::filesystem;

// Backing files get numbers 254:0, 254:16, ... like whole SCSI disks.
constexpr uint32_t kBackingMajor = 254;
constexpr uint32_t kBackingMinorStep = 16;
constexpr char kNodePrefix[] = "/dev/block/dm-";
constexpr char kLinkDir[] = "/dev/block/mapper/by-uuid/";

// An errno from its name ("EBUSY"), 0 when it names none.
int ErrnoNamed(const std::string& name) {
  for (int e = 1; e < 4096; ++e) {
    const char* n = strerrorname_np(e);
    if (n && name == n) return e;
  }
  return 0;
}

// The items of FAKEDM_FAULTS (fakedm.h); a malformed one ends the process.
std::vector<Fault> ParseFaults(const char* text) {
  static const std::string kRequest =
      "DM_(?:DEV_(?:CREATE|REMOVE|SUSPEND|STATUS)|TABLE_(?:LOAD|STATUS))";
  static const std::string kAt = "(?:@([1-9][0-9]{0,8}))?";
  static const std::regex kErrnoItem(
      "(" + kRequest + "|open|(?:read|lseek):/[^=]+)=(E[A-Z0-9]+)" + kAt);
  static const std::regex kNumberItem(
      "(" + kRequest +
      "\\.(?:target_count|open_count|flags)|devmgr|link)=([0-9]{1,9})" + kAt);
  static const std::regex kNeverItem("(devmgr|link)=(never)" + kAt);
  std::vector<Fault> faults;
  std::istringstream is(text ? text : "");
  for (std::string item; std::getline(is, item, ',');) {
    std::smatch m;
    const bool errno_item = std::regex_match(item, m, kErrnoItem);
    if (errno_item || std::regex_match(item, m, kNumberItem) ||
        std::regex_match(item, m, kNeverItem)) {
      const int64_t value = errno_item        ? ErrnoNamed(m[2])
                            : m[2] == "never" ? -1
                                              : atoll(m[2].str().c_str());
      if (!errno_item || value != 0) {
        faults.push_back({m[1], value, atoi(m[3].str().c_str())});
        continue;
      }
    }
    if (item.empty()) continue;
    fprintf(stderr, "fakedm: malformed FAKEDM_FAULTS item %s\n", item.c_str());
    abort();
  }
  return faults;
}

}  // namespace

Fake& TheFake() {
  static Fake* fake = new Fake();
  return *fake;
}

std::optional<uint32_t> NodeMinor(const std::string& path) {
  static const std::regex kNode("/dev/block/dm-([0-9]{1,7})");
  std::smatch m;
  if (!std::regex_match(path, m, kNode)) return std::nullopt;
  return static_cast<uint32_t>(std::stoul(m[1]));
}

bool Fake::Active() {
  if (!env_read_) {
    env_read_ = true;
    const char* root = getenv("FAKEDM_ROOT");
    ReadEnvironment();
    UseRoot(root ? root : "");
  }
  return !root_.empty();
}

void Fake::ReadEnvironment() {
  faults_ = ParseFaults(getenv("FAKEDM_FAULTS"));
  counts_.clear();
}

void Fake::UseRoot(const std::string& root) {
  root_ = root;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  devices.clear();
  backing_.clear();
  events_.clear();
  seen_.clear();
  control_open_flags_ = -1;
  ReloadIfChanged();
}

int Fake::FaultErrno(const std::string& what) {
  const int count = ++counts_[what];
  for (const Fault& f : faults_) {
    if (f.what == what && (f.occurrence == 0 || f.occurrence == count))
      return static_cast<int>(f.value);
  }
  return 0;
}

std::vector<const Fault*> Fake::ReplyEdits(const std::string& request) {
  const int count = counts_[request];
  std::vector<const Fault*> edits;
  for (const Fault& f : faults_) {
    if (f.what.rfind(request + ".", 0) == 0 &&
        (f.occurrence == 0 || f.occurrence == count))
      edits.push_back(&f);
  }
  return edits;
}

int64_t Fake::Delay(const std::string& what, int64_t fallback) const {
  for (const Fault& f : faults_) {
    if (f.what == what) fallback = f.value;
  }
  return fallback;
}

void Fake::Announce(const MappedDevice& dev, bool added) {
  const int64_t node = Delay("devmgr", 1);
  const int64_t link = added ? Delay("link", node) : node;
  if (node < 0) return;
  events_.push_back({calls_ + node, added, false, dev.minor, ""});
  if (link >= 0 && !dev.uuid.empty())
    events_.push_back({calls_ + link, added, true, dev.minor, dev.uuid});
}

void Fake::ApplyDueEvents() {
  std::error_code ec;
  for (auto it = events_.begin(); it != events_.end();) {
    if (it->due > calls_) {
      ++it;
      continue;
    }
    const std::string node = root_ + kNodePrefix + std::to_string(it->minor);
    const std::string link = root_ + kLinkDir + it->uuid;
    const std::string target = "../../dm-" + std::to_string(it->minor);
    if (it->add && it->link) {
      fs::create_directories(root_ + kLinkDir, ec);
      fs::remove(link, ec);
      fs::create_symlink(target, link, ec);
    } else if (it->add) {
      fs::create_directories(root_ + "/dev/block", ec);
      std::ofstream{node};
    } else if (!it->link) {
      fs::remove(node, ec);
    } else if (fs::read_symlink(link, ec) == target) {
      // Only its own link: another device may have taken the uuid since.
      fs::remove(link, ec);
    }
    it = events_.erase(it);
  }
}

void Fake::Track(int fd, const Tracked& t, int flags) {
  tracked_[fd] = t;
  if (t.control) control_open_flags_ = flags;
  WriteOpenDescriptors();
}

void Fake::Untrack(int fd) {
  if (tracked_.erase(fd) != 0) WriteOpenDescriptors();
}

bool Fake::IsControl(int fd) const {
  auto it = tracked_.find(fd);
  return it != tracked_.end() && it->second.control;
}

int Fake::IoError(int fd, bool seek) {
  auto it = tracked_.find(fd);
  if (it == tracked_.end()) return 0;
  return FaultErrno((seek ? "lseek:" : "read:") + it->second.path);
}

int Fake::OpenCount(uint32_t minor) const {
  return static_cast<int>(
      std::count_if(tracked_.begin(), tracked_.end(),
                    [minor](auto& kv) { return kv.second.node == minor; }));
}

MappedDevice* Fake::Find(const std::string& name, const std::string& uuid) {
  for (auto& [minor, dev] : devices) {
    if (dev.name == name || (!uuid.empty() && dev.uuid == uuid)) return &dev;
  }
  return nullptr;
}

int Fake::FindBlockDevice(const std::string& arg, std::string* number,
                          uint64_t* size_bytes) {
  std::string path = arg;
  if (arg.find_first_not_of("0123456789:") == std::string::npos) {
    // A number names only a disk already numbered.
    auto it = std::find_if(backing_.begin(), backing_.end(),
                           [&](auto& kv) { return kv.second == arg; });
    if (it == backing_.end()) return ENXIO;
    path = it->first;
  } else if (!IsRedirected(arg.c_str())) {
    // lookup_bdev, then the kernel's name parsing: anything that is not a
    // block device in the sandbox is "no such device".
    return ENODEV;
  }
  if (std::optional<uint32_t> minor = NodeMinor(path)) {
    auto it = devices.find(*minor);
    if (it == devices.end()) return ENXIO;
    *number = std::to_string(kDmMajor) + ":" + std::to_string(*minor);
    *size_bytes = it->second.active ? it->second.active->sectors() << 9 : 0;
    return 0;
  }
  struct stat st;
  if (stat((root_ + path).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return ENODEV;
  auto it = backing_.find(path);
  if (it == backing_.end()) {
    const auto minor =
        static_cast<uint32_t>(backing_.size()) * kBackingMinorStep;
    const std::string n =
        std::to_string(kBackingMajor) + ":" + std::to_string(minor);
    it = backing_.emplace(path, n).first;
  }
  *number = it->second;
  *size_bytes = static_cast<uint64_t>(st.st_size);
  return 0;
}

std::string Fake::DeviceNumberOf(const std::string& path) {
  std::string number;
  uint64_t size = 0;
  if (FindBlockDevice(path, &number, &size) != 0) return "";
  Save();
  return number;
}

void Fake::Reset() {
  std::error_code ec;
  fs::remove_all(root_ + "/.fakedm", ec);
  fs::remove_all(root_ + kLinkDir, ec);
  for (const auto& entry : fs::directory_iterator(root_ + "/dev/block", ec)) {
    if (NodeMinor("/dev/block/" + entry.path().filename().string()))
      fs::remove(entry.path(), ec);
  }
  counts_.clear();
  UseRoot(root_);
  Save();
  WriteOpenDescriptors();
}

std::vector<Device> Fake::Devices() {
  ReloadIfChanged();
  std::vector<Device> out;
  for (const auto& [minor, d] : devices) {
    out.push_back({d.name, d.uuid, minor, d.active && d.active->read_only,
                   d.active ? d.active->targets : std::vector<Target>()});
  }
  return out;
}

}  // namespace internal
}  // namespace fakedm
