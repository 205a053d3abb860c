// The fake's process-wide object; see fake.h.
#include "fake.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>

#include "calls.h"
#include "devmgr.h"

namespace fakedm {
namespace internal {
namespace {

// Backing files get numbers 254:0, 254:16, ... like whole SCSI disks.
constexpr uint32_t kBackingMajor = 254;
constexpr uint32_t kBackingMinorStep = 16;
// The widths of a device number's fields in the kernel's dev_t.
constexpr uint32_t kMajorLimit = 1u << 12;
constexpr uint32_t kMinorLimit = 1u << 20;

}  // namespace

Fake& TheFake() {
  static Fake* fake = new Fake();
  return *fake;
}

bool Fake::Active() {
  if (!settings_read_) {
    ReadSettingsOrDie();
    settings_read_ = true;
    UseRoot(settings_.root);
  }
  return !root_.empty();
}

void Fake::ReadSettingsOrDie() {
  std::string error;
  if (!ReadSettings(getenv, &settings_, &error)) {
    fprintf(stderr, "fakedm: %s\n", error.c_str());
    abort();
  }
  faults_.Set(settings_.faults);
  device_manager_ = settings_.device_manager;
}

void Fake::ReadEnvironment() {
  Active();
  ReadSettingsOrDie();
}

void Fake::SetRoot(const std::string& root) {
  Active();
  UseRoot(root.empty() ? settings_.root : root);
}

void Fake::UseRoot(const std::string& root) {
  root_ = root;
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  char real[PATH_MAX];
  root_real_ = !root_.empty() && realpath(root_.c_str(), real) ? real : root_;
  state_ = State();
  control_open_flags_ = -1;
  store_.SetRoot(root_);
  store_.ReloadIfChanged(&state_);
}

void Fake::Tick() {
  store_.ReloadIfChanged(&state_);
  if (ApplyDueEvents(state_, root_)) store_.Save(state_);
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
  auto it = tracked_.find(fd);
  if (it == tracked_.end()) return false;
  const Tracked t = it->second;
  tracked_.erase(it);
  WriteOpenDescriptors();
  return true;
}

bool Fake::IsControl(int fd) const {
  auto it = tracked_.find(fd);
  return it != tracked_.end() && it->second.control;
}

bool Fake::IsNode(const std::string& real, uint32_t* minor) const {
  return ParseNodePath(RootRelative(real), minor);
}

int Fake::IoError(int fd, bool seek) const {
  auto it = tracked_.find(fd);
  return it == tracked_.end() ? 0 : faults_.IoError(it->second.path, seek);
}

void Fake::WriteOpenDescriptors() const {
  store_.WriteOpenDescriptors(tracked_.size());
}

int Fake::HandleIoctl(unsigned long request, void* arg) {
  const Outcome o = Ioctl(state_, *this, request, arg);
  store_.AppendRequest(o.request, o.device, o.error);
  store_.Save(state_);
  if (ApplyDueEvents(state_, root_)) store_.Save(state_);
  return o.error;
}

void Fake::Reset() {
  state_ = State();
  store_.Clear();
  RemoveNodesAndLinks(root_);
  faults_.Restart();
  control_open_flags_ = -1;
  store_.Save(state_);
  WriteOpenDescriptors();
}

std::vector<Device> Fake::Devices() {
  const auto targets = [](const std::optional<Table>& t) {
    std::vector<Target> out;
    if (t) {
      for (const LoadedTarget& lt : t->targets) out.push_back(lt.target);
    }
    return out;
  };
  std::vector<Device> out;
  for (const auto& [minor, d] : state_.devices) {
    Device p;
    p.name = d.name;
    p.uuid = d.uuid;
    p.minor = minor;
    p.read_only = d.read_only;
    p.active = targets(d.active);
    out.push_back(std::move(p));
  }
  return out;
}

std::string Fake::DeviceNumberOf(const std::string& path) {
  if (!IsRedirected(path.c_str())) return "";
  BlockDevice bd;
  if (FindBlockDevice(path, &bd) != 0) return "";
  store_.Save(state_);
  return bd.number.Text();
}

int Fake::FindBlockDevice(const std::string& arg, BlockDevice* out) {
  BlockNumber n;
  if (BlockNumber::Parse(arg, &n)) {
    if (n.major >= kMajorLimit || n.minor >= kMinorLimit) return EOVERFLOW;
    return NumberedDevice(n, out) ? 0 : ENXIO;
  }
  // lookup_bdev, then the kernel's name parsing: anything that is not a
  // block device in the sandbox is "no such device".
  if (arg.empty() || arg[0] != '/' || !IsRedirected(arg.c_str())) return ENODEV;
  const std::string file = Redirect(arg.c_str());
  struct stat st;
  if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ENODEV;
  char real[PATH_MAX];
  if (!realpath(file.c_str(), real)) return ENODEV;
  const std::string rel = RootRelative(real);
  uint32_t dm_minor = 0;
  if (ParseNodePath(rel, &dm_minor)) {
    return NumberedDevice({kDmMajor, dm_minor}, out) ? 0 : ENXIO;
  }
  auto it = state_.backing.find(rel);
  if (it == state_.backing.end()) {
    const auto count = static_cast<uint32_t>(state_.backing.size());
    it =
        state_.backing
            .emplace(rel, BlockNumber{kBackingMajor, count * kBackingMinorStep})
            .first;
  }
  out->number = it->second;
  out->size_bytes = static_cast<uint64_t>(st.st_size);
  return 0;
}

bool Fake::NumberedDevice(BlockNumber n, BlockDevice* out) {
  if (n.major == kDmMajor) {
    auto it = state_.devices.find(n.minor);
    if (it == state_.devices.end()) return false;
    out->number = n;
    out->size_bytes = it->second.active ? it->second.active->sectors() << 9 : 0;
    return true;
  }
  const std::string rel = state_.BackingPath(n);
  struct stat st;
  if (rel.empty() || stat((root_ + "/" + rel).c_str(), &st) != 0 ||
      !S_ISREG(st.st_mode))
    return false;
  out->number = n;
  out->size_bytes = static_cast<uint64_t>(st.st_size);
  return true;
}

int Fake::OpenCount(uint32_t minor) {
  return static_cast<int>(
      std::count_if(tracked_.begin(), tracked_.end(), [minor](auto& kv) {
        return kv.second.node && kv.second.minor == minor;
      }));
}

void Fake::BlockDeviceAdded(const MappedDevice& dev) {
  ScheduleAdd(state_, device_manager_, dev);
}

void Fake::Resumed(const MappedDevice& dev) {
  if (Real().faccessat(AT_FDCWD, NodePath(root_, dev.minor).c_str(), F_OK, 0) ==
      0) {
    FillNode(state_, root_, dev.minor);
  }
}

void Fake::Removed(const MappedDevice& dev, bool announced) {
  if (announced) ScheduleRemove(state_, device_manager_, dev);
}

int Fake::InjectedFailure(unsigned cmd) {
  return faults_.RequestError(CommandName(cmd));
}

void Fake::EditReply(unsigned cmd, std::vector<char>& param, size_t buffer_size,
                     size_t* copy_out) {
  faults_.EditReply(cmd, param, buffer_size, copy_out);
}

}  // namespace internal
}  // namespace fakedm
