// The fake's process-wide object but its requests (see fake.h): the root,
// the faults, the device manager, the descriptors and the state store.
//
// The state file is a sequence of fields, each "<length>:<bytes>", so that any
// name survives it:
//   "b" <major> <minor> <path>                                  per backing
//   "d" <minor> <name> <uuid> <suspended> <block device> <read-only> <count>
//   then per live target: <start> <length> <type> <device> <offset> <params>
#include "fake.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "calls.h"

namespace fakedm {
namespace internal {
namespace {

namespace fs = std::filesystem;

// Backing files get numbers 254:0, 254:16, ... like whole SCSI disks.
constexpr uint32_t kBackingMajor = 254;
constexpr uint32_t kBackingMinorStep = 16;
constexpr char kNodePrefix[] = "dev/block/dm-";
constexpr char kLinkDir[] = "/dev/block/mapper/by-uuid/";

[[noreturn]] void Die(const std::string& why) {
  fprintf(stderr, "fakedm: %s\n", why.c_str());
  abort();
}

bool ParseNumber(const std::string& s, uint64_t* out) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
    return false;
  errno = 0;
  *out = strtoull(s.c_str(), nullptr, 10);
  return errno == 0;
}

// An errno from its name ("EBUSY"), 0 when it names none.
int ErrnoNamed(const std::string& name) {
  for (int e = 1; e < 4096; ++e) {
    const char* n = strerrorname_np(e);
    if (n && name == n) return e;
  }
  return 0;
}

bool KnownRequest(const std::string& name) {
  static const char* const kNames[] = {
      "DM_VERSION",    "DM_DEV_CREATE", "DM_DEV_REMOVE",  "DM_DEV_SUSPEND",
      "DM_DEV_STATUS", "DM_TABLE_LOAD", "DM_TABLE_STATUS"};
  return std::find(std::begin(kNames), std::end(kNames), name) !=
         std::end(kNames);
}

// Whether |f| is one FAKEDM_FAULTS can hold (fakedm.h).
bool Valid(const Fault& f) {
  uint64_t n = 0;
  const size_t dot = f.what.find('.');
  if (dot != std::string::npos) {
    const std::string field = f.what.substr(dot + 1);
    return KnownRequest(f.what.substr(0, dot)) && ParseNumber(f.value, &n) &&
           (field == "target_count" || field == "open_count" ||
            field == "flags");
  }
  if (f.what == "devmgr" || f.what == "link")
    return f.value == "never" || (ParseNumber(f.value, &n) && n < INT_MAX);
  const bool io =
      f.what.rfind("read:/", 0) == 0 || f.what.rfind("lseek:/", 0) == 0;
  return (io || f.what == "open" || KnownRequest(f.what)) &&
         ErrnoNamed(f.value) != 0;
}

std::vector<Fault> ParseFaults(const char* text) {
  std::vector<Fault> faults;
  std::istringstream is(text ? text : "");
  for (std::string item; std::getline(is, item, ',');) {
    if (item.empty()) continue;
    Fault f;
    const size_t eq = item.find('=');
    const size_t at = item.rfind('@');
    uint64_t n = 0;
    if (eq == std::string::npos) Die("malformed FAKEDM_FAULTS item " + item);
    f.what = item.substr(0, eq);
    f.value = item.substr(eq + 1, at == std::string::npos || at < eq
                                      ? std::string::npos
                                      : at - eq - 1);
    if (at != std::string::npos && at > eq) {
      if (!ParseNumber(item.substr(at + 1), &n) || n == 0 || n > INT_MAX)
        Die("malformed FAKEDM_FAULTS item " + item);
      f.occurrence = static_cast<int>(n);
    }
    if (!Valid(f)) Die("malformed FAKEDM_FAULTS item " + item);
    faults.push_back(f);
  }
  return faults;
}

void Put(std::string& out, const std::string& field) {
  out += std::to_string(field.size()) + ":" + field;
}
void Put(std::string& out, uint64_t n) { Put(out, std::to_string(n)); }

// Reads the fields Put() wrote; |ok| turns false at the first bad one.
struct Fields {
  const std::string& text;
  size_t at = 0;
  bool ok = true;
  std::string Next() {
    const size_t colon = text.find(':', at);
    uint64_t len = 0;
    if (!ok || colon == std::string::npos ||
        !ParseNumber(text.substr(at, colon - at), &len) ||
        len > text.size() - colon - 1) {
      ok = false;
      return "";
    }
    at = colon + 1 + len;
    return text.substr(colon + 1, len);
  }
  template <typename T>
  T Number() {
    uint64_t n = 0;
    ok = ParseNumber(Next(), &n) && ok;
    return static_cast<T>(n);
  }
};

// The state file's identity: another process replaces it by a rename.
std::string Identity(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
         std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

std::string BlockNumber::Text() const {
  return std::to_string(major) + ":" + std::to_string(minor);
}

bool BlockNumber::Parse(const std::string& text, BlockNumber* out) {
  const size_t colon = text.find(':');
  uint64_t major = 0;
  uint64_t minor = 0;
  if (colon == std::string::npos ||
      !ParseNumber(text.substr(0, colon), &major) ||
      !ParseNumber(text.substr(colon + 1), &minor) || major > UINT32_MAX ||
      minor > UINT32_MAX)
    return false;
  *out = {static_cast<uint32_t>(major), static_cast<uint32_t>(minor)};
  return true;
}

Fake& TheFake() {
  static Fake* fake = new Fake();
  return *fake;
}

bool Fake::Active() {
  if (!env_read_) {
    env_read_ = true;
    const char* root = getenv("FAKEDM_ROOT");
    env_root_ = root ? root : "";
    ReadEnvironment();
    UseRoot(env_root_);
  }
  return !root_.empty();
}

void Fake::ReadEnvironment() {
  faults_ = ParseFaults(getenv("FAKEDM_FAULTS"));
  counts_.clear();
  node_delay_ = link_delay_ = 1;
  bool link_set = false;
  for (const Fault& f : faults_) {
    const int delay = f.value == "never" ? -1 : atoi(f.value.c_str());
    if (f.what == "devmgr") node_delay_ = delay;
    if (f.what == "link") {
      link_set = true;
      link_delay_ = delay;
    }
  }
  if (!link_set) link_delay_ = node_delay_;
}

void Fake::SetRoot(const std::string& root) {
  Active();
  UseRoot(root.empty() ? env_root_ : root);
}

void Fake::UseRoot(const std::string& root) {
  root_ = root;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  char real[PATH_MAX];
  root_real_ = !root_.empty() && realpath(root_.c_str(), real) ? real : root_;
  devices.clear();
  backing_.clear();
  events_.clear();
  seen_.clear();
  control_open_flags_ = -1;
  ReloadIfChanged();
}

const Fault* Fake::NextFault(const std::string& what) {
  const int count = ++counts_[what];
  for (const Fault& f : faults_) {
    if (f.what == what && (f.occurrence == 0 || f.occurrence == count))
      return &f;
  }
  return nullptr;
}

int Fake::FaultErrno(const std::string& what) {
  const Fault* f = NextFault(what);
  return f ? ErrnoNamed(f->value) : 0;
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

void Fake::Tick() {
  ++calls_;
  ApplyDueEvents();
}

void Fake::Announce(const MappedDevice& dev, bool added) {
  if (node_delay_ < 0) return;
  const std::vector<std::pair<bool, int>> parts = {
      {false, node_delay_}, {true, added ? link_delay_ : node_delay_}};
  for (const auto& [link, delay] : parts) {
    if (delay < 0 || (link && dev.uuid.empty())) continue;
    events_.push_back({calls_ + delay, added, link, dev.minor, dev.uuid});
  }
}

void Fake::ApplyDueEvents() {
  std::error_code ec;
  for (auto it = events_.begin(); it != events_.end();) {
    if (it->due > calls_) {
      ++it;
      continue;
    }
    const std::string node =
        root_ + "/" + kNodePrefix + std::to_string(it->minor);
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

std::string Fake::RootRelative(const std::string& path) const {
  for (const std::string& r : {root_real_, root_}) {
    if (path.size() > r.size() + 1 && path.compare(0, r.size(), r) == 0 &&
        path[r.size()] == '/') {
      return path.substr(r.size() + 1);
    }
  }
  return "";
}

void Fake::Track(int fd, const Tracked& t, int flags) {
  tracked_[fd] = t;
  if (t.control) control_open_flags_ = flags;
  WriteOpenDescriptors();
}

bool Fake::Untrack(int fd) {
  if (tracked_.erase(fd) == 0) return false;
  WriteOpenDescriptors();
  return true;
}

bool Fake::IsControl(int fd) const {
  auto it = tracked_.find(fd);
  return it != tracked_.end() && it->second.control;
}

bool Fake::IsNode(const std::string& real, uint32_t* minor) const {
  const std::string rel = RootRelative(real);
  uint64_t n = 0;
  if (rel.rfind(kNodePrefix, 0) != 0 ||
      !ParseNumber(rel.substr(strlen(kNodePrefix)), &n) || n > UINT32_MAX)
    return false;
  *minor = static_cast<uint32_t>(n);
  return true;
}

int Fake::IoError(int fd, bool seek) {
  auto it = tracked_.find(fd);
  if (it == tracked_.end()) return 0;
  return FaultErrno((seek ? "lseek:" : "read:") + it->second.path);
}

int Fake::OpenCount(uint32_t minor) const {
  return static_cast<int>(
      std::count_if(tracked_.begin(), tracked_.end(), [minor](auto& kv) {
        return kv.second.node && kv.second.minor == minor;
      }));
}

MappedDevice* Fake::ByName(const std::string& name) {
  for (auto& [minor, dev] : devices) {
    if (dev.name == name) return &dev;
  }
  return nullptr;
}

MappedDevice* Fake::ByUuid(const std::string& uuid) {
  for (auto& [minor, dev] : devices) {
    if (!uuid.empty() && dev.uuid == uuid) return &dev;
  }
  return nullptr;
}

int Fake::FindBlockDevice(const std::string& arg, BlockNumber* number,
                          uint64_t* size_bytes) {
  BlockNumber n;
  std::string rel;
  if (BlockNumber::Parse(arg, &n)) {
    for (const auto& [path, num] : backing_) {
      if (num == n) rel = path;
    }
    if (rel.empty()) return ENXIO;
  } else if (arg.empty() || arg[0] != '/' || !IsRedirected(arg.c_str())) {
    // lookup_bdev, then the kernel's name parsing: anything that is not a
    // block device in the sandbox is "no such device".
    return ENODEV;
  } else {
    rel = arg.substr(1);
  }
  uint32_t minor = 0;
  if (IsNode(root_ + "/" + rel, &minor)) {
    auto it = devices.find(minor);
    if (it == devices.end()) return ENXIO;
    *number = {kDmMajor, minor};
    *size_bytes = it->second.active ? it->second.active->sectors() << 9 : 0;
    return 0;
  }
  struct stat st;
  if (stat((root_ + "/" + rel).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return rel == arg.substr(1) ? ENODEV : ENXIO;
  auto it = backing_.find(rel);
  if (it == backing_.end()) {
    const auto count = static_cast<uint32_t>(backing_.size());
    it =
        backing_
            .emplace(rel, BlockNumber{kBackingMajor, count * kBackingMinorStep})
            .first;
  }
  *number = it->second;
  *size_bytes = static_cast<uint64_t>(st.st_size);
  return 0;
}

std::string Fake::DeviceNumberOf(const std::string& path) {
  BlockNumber n;
  uint64_t size = 0;
  if (path.empty() || path[0] != '/' || FindBlockDevice(path, &n, &size) != 0)
    return "";
  Save();
  return n.Text();
}

void Fake::Reset() {
  devices.clear();
  backing_.clear();
  events_.clear();
  counts_.clear();
  control_open_flags_ = -1;
  std::error_code ec;
  fs::remove_all(root_ + "/.fakedm", ec);
  fs::remove_all(root_ + kLinkDir, ec);
  for (const auto& entry : fs::directory_iterator(root_ + "/dev/block", ec)) {
    uint32_t minor = 0;
    if (IsNode(entry.path().string(), &minor)) fs::remove(entry.path(), ec);
  }
  Save();
  WriteOpenDescriptors();
}

std::vector<Device> Fake::Devices() {
  ReloadIfChanged();
  std::vector<Device> out;
  for (const auto& [minor, d] : devices) {
    Device p{d.name, d.uuid, minor, d.read_only, {}};
    if (d.active) {
      for (const LoadedTarget& lt : d.active->targets)
        p.active.push_back(lt.target);
    }
    out.push_back(std::move(p));
  }
  return out;
}

void Fake::Save() {
  std::error_code ec;
  const std::string dir = root_ + "/.fakedm";
  fs::create_directories(dir, ec);
  std::string text;
  for (const auto& [path, num] : backing_) {
    Put(text, "b");
    Put(text, num.major);
    Put(text, num.minor);
    Put(text, path);
  }
  for (const auto& [minor, d] : devices) {
    const size_t count = d.active ? d.active->targets.size() : 0;
    for (const std::string& f :
         {std::string("d"), std::to_string(minor), d.name, d.uuid,
          std::to_string(d.suspended), std::to_string(d.block_device),
          std::to_string(d.read_only),
          std::to_string(d.active ? count + 1 : 0)}) {
      Put(text, f);
    }
    for (size_t i = 0; i < count; ++i) {
      const LoadedTarget& lt = d.active->targets[i];
      Put(text, lt.target.start);
      Put(text, lt.target.length);
      Put(text, lt.target.type);
      Put(text, lt.device);
      Put(text, lt.offset);
      Put(text, lt.target.params);
    }
  }
  const std::string path = dir + "/state";
  {
    std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) return;
  }
  if (rename((path + ".tmp").c_str(), path.c_str()) == 0)
    seen_ = Identity(path);
}

void Fake::ReloadIfChanged() {
  const std::string path = root_ + "/.fakedm/state";
  const std::string identity = Identity(path);
  if (root_.empty() || identity == seen_) return;
  seen_ = identity;
  std::ifstream in(path, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in),
                         std::istreambuf_iterator<char>()};
  Fields f{text};
  std::map<uint32_t, MappedDevice> loaded;
  std::map<std::string, BlockNumber> numbers;
  while (f.ok && f.at < text.size()) {
    const std::string kind = f.Next();
    if (kind == "b") {
      BlockNumber n{f.Number<uint32_t>(), f.Number<uint32_t>()};
      numbers[f.Next()] = n;
      continue;
    }
    MappedDevice d;
    d.minor = f.Number<uint32_t>();
    d.name = f.Next();
    d.uuid = f.Next();
    d.suspended = f.Number<bool>();
    d.block_device = f.Number<bool>();
    d.read_only = f.Number<bool>();
    const auto count = f.Number<size_t>();
    if (count > 0) d.active.emplace().read_only = d.read_only;
    for (size_t i = 1; i < count && f.ok; ++i) {
      LoadedTarget lt;
      lt.target.start = f.Number<uint64_t>();
      lt.target.length = f.Number<uint64_t>();
      lt.target.type = f.Next();
      lt.device = f.Next();
      lt.offset = f.Number<uint64_t>();
      lt.target.params = f.Next();
      d.active->targets.push_back(lt);
    }
    f.ok = f.ok && kind == "d";
    loaded[d.minor] = d;
  }
  if (!f.ok) Die("malformed " + path);
  devices = std::move(loaded);
  backing_ = std::move(numbers);
}

void Fake::AppendRequest(const std::string& request, const std::string& device,
                         int error) const {
  std::string name = device;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == '\t' || c == '\n'; },
      ' ');
  std::ofstream(root_ + "/.fakedm/requests", std::ios::app)
      << request << '\t' << name << '\t' << error << '\n';
}

std::vector<Request> Fake::Requests() const {
  std::vector<Request> out;
  std::ifstream in(root_ + "/.fakedm/requests");
  for (std::string line; std::getline(in, line);) {
    Request r;
    std::istringstream ls(line);
    std::string err;
    std::getline(ls, r.request, '\t');
    std::getline(ls, r.name, '\t');
    std::getline(ls, err);
    r.error = atoi(err.c_str());
    out.push_back(r);
  }
  return out;
}

void Fake::WriteOpenDescriptors() const {
  std::error_code ec;
  fs::create_directories(root_ + "/.fakedm", ec);
  std::ofstream(root_ + "/.fakedm/open_fds", std::ios::trunc)
      << tracked_.size() << '\n';
}

}  // namespace internal
}  // namespace fakedm
