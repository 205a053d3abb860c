// The fake's process-wide object: sandbox root and settings, descriptors it
// handed out, the kernel state and its files, the device manager's event
// queue, and the public API on top of them.
//
// Everything runs under one mutex. A thread-local flag marks calls made from
// inside the fake (its own file I/O) so that they go straight to libc.
#include "fake.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/dm-ioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string_view>
#include <thread>

#include "config.h"
#include "fakedm/fakedm.h"
#include "kernel.h"
#include "state.h"

namespace fakedm {
namespace internal {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMaxFilledBytes = 64ull << 20;
constexpr uint32_t kBackingMajor = 254;
constexpr uint32_t kBackingMinorStep = 16;

struct Libc {
  int (*openat)(int, const char*, int, ...);
  int (*faccessat)(int, const char*, int, int);
  int (*close)(int);
  int (*ioctl)(int, unsigned long, ...);
};

template <typename F>
void Resolve(F* fn, const char* name) {
  *fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
  if (!*fn) {
    fprintf(stderr, "fakedm: libc has no %s\n", name);
    abort();
  }
}

const Libc& Real() {
  static const Libc libc = [] {
    Libc l;
    Resolve(&l.openat, "openat");
    Resolve(&l.faccessat, "faccessat");
    Resolve(&l.close, "close");
    Resolve(&l.ioctl, "ioctl");
    return l;
  }();
  return libc;
}

__attribute__((tls_model("initial-exec"))) thread_local bool t_inside = false;

// Marks the current thread as inside the fake; only the outermost one counts.
class Inside {
 public:
  Inside() : outer_(!t_inside) { t_inside = true; }
  ~Inside() {
    if (outer_) t_inside = false;
  }
  bool outer() const { return outer_; }

 private:
  const bool outer_;
};

int64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

bool ReadText(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream os;
  os << in.rdbuf();
  *out = os.str();
  return true;
}

// A descriptor of a redirected path.
struct Tracked {
  bool control = false;
  bool node = false;  // a dm node; |minor| says which
  uint32_t minor = 0;
};

// The identity of the state file as last read or written.
struct Signature {
  bool exists = false;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime = {};
  bool operator==(const Signature& o) const {
    return exists == o.exists && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

class Fake final : public KernelHooks {
 public:
  std::mutex mu;

  // Reads the environment on first use; true when a root is set.
  bool Active() {
    if (!settings_read_) {
      std::string error;
      if (!ReadSettings(getenv, &settings_, &error)) {
        fprintf(stderr, "fakedm: %s\n", error.c_str());
        abort();
      }
      settings_read_ = true;
      faults_ = settings_.faults;
      device_manager_ = settings_.device_manager;
      UseRoot(settings_.root);
    }
    return !root_.empty();
  }

  void SetRoot(const std::string& root) {
    Active();
    UseRoot(root.empty() ? settings_.root : root);
  }
  const std::string& root() const { return root_; }

  // Work due at the start of every call: another process's changes, then the
  // device manager's due events.
  void Tick() {
    ReloadIfChanged();
    ApplyDueEvents();
  }

  std::string Redirect(const char* path) const { return root_ + path; }
  std::string NodePath(uint32_t minor) const {
    return root_ + "/dev/block/dm-" + std::to_string(minor);
  }
  std::string LinkPath(const std::string& uuid) const {
    return root_ + "/dev/block/mapper/by-uuid/" + uuid;
  }
  std::string StateDir() const { return root_ + "/.fakedm"; }

  bool FailControlOpen(int* err) {
    if (faults_.control_open_eintr > control_eintr_used_) {
      ++control_eintr_used_;
      *err = EINTR;
      return true;
    }
    *err = faults_.control_open_error;
    return *err != 0;
  }

  void Track(int fd, const Tracked& t) {
    tracked_[fd] = t;
    WriteOpenFds();
  }
  // Forgets |fd|; true when it was the fake's.
  bool Untrack(int fd) {
    auto it = tracked_.find(fd);
    if (it == tracked_.end()) return false;
    const Tracked t = it->second;
    tracked_.erase(it);
    WriteOpenFds();
    if (t.node) RemoveIfDeferred(t.minor);
    return true;
  }
  bool IsControl(int fd) const {
    auto it = tracked_.find(fd);
    return it != tracked_.end() && it->second.control;
  }
  // Whether |redirected| (a sandbox path) names a dm node; sets |minor|.
  bool IsNode(const std::string& redirected, uint32_t* minor) {
    return ParseNode(RootRelative(redirected), minor);
  }

  int HandleIoctl(unsigned long request, void* arg) {
    Outcome o = Ioctl(state_, *this, request, arg);
    AppendRequest(o);
    SaveState();
    ApplyDueEvents();
    return o.error;
  }

  void Reset() {
    std::error_code ec;
    state_ = State();
    fs::remove_all(StateDir(), ec);
    for (const auto& entry : fs::directory_iterator(root_ + "/dev/block", ec)) {
      uint32_t minor = 0;
      if (ParseNode(RootRelative(entry.path().string()), &minor))
        fs::remove(entry.path(), ec);
    }
    fs::remove_all(root_ + "/dev/block/mapper/by-uuid", ec);
    request_counts_.clear();
    control_eintr_used_ = 0;
    status_full_used_ = 0;
    SaveState();
    WriteOpenFds();
  }

  void SetFaults(const Faults& f) {
    faults_ = f;
    request_counts_.clear();
    control_eintr_used_ = 0;
    status_full_used_ = 0;
  }
  const Faults& faults() const { return faults_; }
  void SetDeviceManager(const DeviceManager& d) { device_manager_ = d; }
  const DeviceManager& device_manager() const { return device_manager_; }

  // Due time of the last pending event, or 0 when none.
  int64_t LastDue() const {
    return state_.events.empty() ? 0 : state_.events.back().due_ns;
  }

  std::vector<Device> Devices() {
    std::vector<Device> out;
    for (const auto& [minor, d] : state_.devices) {
      Device p;
      p.name = d.name;
      p.uuid = d.uuid;
      p.minor = minor;
      p.suspended = d.suspended;
      p.read_only = d.read_only;
      p.has_block_device = d.block_device;
      p.has_active = d.active.has_value();
      p.has_inactive = d.inactive.has_value();
      if (d.active) {
        for (const LoadedTarget& t : d.active->targets)
          p.active.push_back(t.target);
      }
      if (d.inactive) {
        for (const LoadedTarget& t : d.inactive->targets)
          p.inactive.push_back(t.target);
      }
      p.open_count = OpenCount(minor);
      out.push_back(std::move(p));
    }
    return out;
  }

  std::vector<Request> Requests() {
    std::vector<Request> out;
    std::string text;
    if (!ReadText(StateDir() + "/requests", &text)) return out;
    std::istringstream is(text);
    std::string line;
    while (std::getline(is, line)) {
      Request r;
      std::istringstream ls(line);
      std::string err;
      std::getline(ls, r.request, '\t');
      std::getline(ls, r.name, '\t');
      std::getline(ls, err);
      if (err != "0" && !ParseErrno(err, &r.error)) r.error = -1;
      out.push_back(r);
    }
    return out;
  }

  int OpenDescriptors() const { return static_cast<int>(tracked_.size()); }

  std::string DeviceNumberOf(const std::string& path) {
    if (path.empty() || path[0] != '/' || !IsRedirected(path.c_str()))
      return "";
    BlockDevice bd;
    if (FindBlockDevice(path, &bd) != 0) return "";
    SaveState();
    return std::to_string(bd.number.major) + ":" +
           std::to_string(bd.number.minor);
  }

  // KernelHooks.
  int FindBlockDevice(const std::string& arg, BlockDevice* out) override {
    unsigned major = 0, minor = 0;
    char extra = 0;
    if (sscanf(arg.c_str(), "%u:%u%c", &major, &minor, &extra) == 2) {
      if (major >= (1u << 12) || minor >= (1u << 20)) return EOVERFLOW;
      return NumberedDevice({major, minor}, out) ? 0 : ENXIO;
    }
    // lookup_bdev, then the kernel's name parsing: anything that is not a
    // block device in the sandbox is "no such device".
    if (arg.empty() || arg[0] != '/' || !IsRedirected(arg.c_str()))
      return ENODEV;
    const std::string file = Redirect(arg.c_str());
    struct stat st;
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ENODEV;
    char real[PATH_MAX];
    if (!realpath(file.c_str(), real)) return ENODEV;
    const std::string rel = RootRelative(real);
    uint32_t dm_minor = 0;
    if (ParseNode(rel, &dm_minor)) {
      return NumberedDevice({kDmMajor, dm_minor}, out) ? 0 : ENXIO;
    }
    auto it = state_.backing.find(rel);
    if (it == state_.backing.end()) {
      const uint32_t n = static_cast<uint32_t>(state_.backing.size());
      it = state_.backing
               .emplace(rel, BlockNumber{kBackingMajor, n * kBackingMinorStep})
               .first;
    }
    out->number = it->second;
    out->size_bytes = static_cast<uint64_t>(st.st_size);
    return 0;
  }

  int OpenCount(uint32_t minor) override {
    return static_cast<int>(
        std::count_if(tracked_.begin(), tracked_.end(), [minor](auto& kv) {
          return kv.second.node && kv.second.minor == minor;
        }));
  }

  void BlockDeviceAdded(const MappedDevice& dev) override {
    if (!device_manager_.enabled) return;
    const int64_t now = NowNs();
    const int link_delay = device_manager_.link_delay_ms < 0
                               ? device_manager_.delay_ms
                               : device_manager_.link_delay_ms;
    state_.Schedule({now + device_manager_.delay_ms * 1000000LL,
                     EventKind::kAddNode, dev.minor, ""});
    if (!dev.uuid.empty()) {
      state_.Schedule({now + link_delay * 1000000LL, EventKind::kAddLink,
                       dev.minor, dev.uuid});
    }
  }

  void Resumed(const MappedDevice& dev) override {
    if (Real().faccessat(AT_FDCWD, NodePath(dev.minor).c_str(), F_OK, 0) == 0) {
      FillNode(dev.minor);
    }
  }

  void Removed(const MappedDevice& dev, bool announced) override {
    if (!device_manager_.enabled || !announced) return;
    const int64_t due = NowNs() + device_manager_.delay_ms * 1000000LL;
    if (!dev.uuid.empty())
      state_.Schedule({due, EventKind::kRemoveLink, dev.minor, dev.uuid});
    state_.Schedule({due, EventKind::kRemoveNode, dev.minor, ""});
  }

  int InjectedFailure(unsigned cmd) override {
    const std::string name = CommandName(cmd);
    const int count = ++request_counts_[name];
    for (const RequestFault& f : faults_.requests) {
      if (f.request == name && (f.occurrence == 0 || f.occurrence == count))
        return f.error;
    }
    return 0;
  }

  void EditReply(unsigned cmd, std::vector<char>& param, size_t buffer_size,
                 size_t* copy_out) override {
    auto* io = reinterpret_cast<struct dm_ioctl*>(param.data());
    if (cmd == DM_DEV_CREATE_CMD) {
      if (faults_.create_target_count)
        io->target_count = faults_.create_target_count;
      if (faults_.create_open_count) io->open_count = faults_.create_open_count;
    } else if (cmd == DM_DEV_REMOVE_CMD && faults_.remove_without_uevent) {
      io->flags &= ~DM_UEVENT_GENERATED_FLAG;
    } else if (cmd == DM_TABLE_STATUS_CMD) {
      if (status_full_used_ < faults_.status_buffer_full) {
        ++status_full_used_;
        io->flags |= DM_BUFFER_FULL_FLAG;
        io->data_size = offsetof(struct dm_ioctl, data);
        *copy_out = io->data_size;
      }
      const size_t at = faults_.status_reply_offset;
      if (faults_.status_reply_set && at < buffer_size) {
        const size_t n =
            std::min(faults_.status_reply.size(), buffer_size - at);
        memcpy(param.data() + at, faults_.status_reply.data(), n);
        *copy_out = std::max(*copy_out, at + n);
      }
    }
  }

 private:
  void UseRoot(const std::string& root) {
    root_ = root;
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    char real[PATH_MAX];
    root_real_ = !root_.empty() && realpath(root_.c_str(), real) ? real : root_;
    state_ = State();
    signature_ = Signature();
    if (!root_.empty()) {
      ReloadIfChanged();
    }
  }

  // "dev/block/sda" for a path inside the root, "" otherwise.
  std::string RootRelative(const std::string& path) const {
    for (const std::string& r : {root_real_, root_}) {
      if (path.size() > r.size() + 1 && path.compare(0, r.size(), r) == 0 &&
          path[r.size()] == '/') {
        return path.substr(r.size() + 1);
      }
    }
    return "";
  }

  static bool ParseNode(const std::string& rel, uint32_t* minor) {
    constexpr std::string_view kPrefix = "dev/block/dm-";
    if (rel.compare(0, kPrefix.size(), kPrefix) != 0) return false;
    const std::string digits = rel.substr(kPrefix.size());
    if (digits.empty() || digits.size() > 7 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
    *minor = static_cast<uint32_t>(std::stoul(digits));
    return true;
  }

  // The sandbox file behind block device |n|, and its size.
  bool NumberedDevice(BlockNumber n, BlockDevice* out) {
    std::string file;
    if (n.major == kDmMajor) {
      auto it = state_.devices.find(n.minor);
      if (it == state_.devices.end()) return false;
      out->number = n;
      out->size_bytes =
          it->second.active ? it->second.active->sectors() << 9 : 0;
      return true;
    }
    for (const auto& [rel, num] : state_.backing) {
      if (num == n) file = root_ + "/" + rel;
    }
    struct stat st;
    if (file.empty() || stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
      return false;
    out->number = n;
    out->size_bytes = static_cast<uint64_t>(st.st_size);
    return true;
  }

  std::string FileOf(const std::string& number) const {
    unsigned major = 0, minor = 0;
    if (sscanf(number.c_str(), "%u:%u", &major, &minor) != 2) return "";
    if (major == kDmMajor) return NodePath(minor);
    for (const auto& [rel, num] : state_.backing) {
      if (num == BlockNumber{major, minor}) return root_ + "/" + rel;
    }
    return "";
  }

  // Writes the bytes device |minor|'s live table maps into its node.
  void FillNode(uint32_t minor) {
    const int fd =
        Real().openat(AT_FDCWD, NodePath(minor).c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    auto it = state_.devices.find(minor);
    if (it != state_.devices.end() && it->second.active) {
      const Table& t = *it->second.active;
      const uint64_t total = t.sectors() << 9;
      if (ftruncate(fd, static_cast<off_t>(total)) == 0 &&
          total <= kMaxFilledBytes) {
        for (const LoadedTarget& lt : t.targets) {
          if (lt.target.type == "linear") {
            CopyRange(FileOf(lt.device), lt.offset << 9, fd,
                      lt.target.start << 9, lt.target.length << 9);
          }
        }
      }
    }
    Real().close(fd);
  }

  static void CopyRange(const std::string& from, uint64_t from_at, int to_fd,
                        uint64_t to_at, uint64_t len) {
    const int in =
        Real().openat(AT_FDCWD, from.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (in < 0) return;
    std::vector<char> buf(1 << 20);
    while (len > 0) {
      const ssize_t n =
          pread(in, buf.data(), std::min<uint64_t>(len, buf.size()),
                static_cast<off_t>(from_at));
      if (n <= 0 ||
          pwrite(to_fd, buf.data(), n, static_cast<off_t>(to_at)) != n)
        break;
      from_at += n;
      to_at += n;
      len -= n;
    }
    Real().close(in);
  }

  void ApplyDueEvents() {
    const int64_t now = NowNs();
    bool applied = false;
    std::error_code ec;
    while (!state_.events.empty() && state_.events.front().due_ns <= now) {
      const Event e = state_.events.front();
      state_.events.erase(state_.events.begin());
      applied = true;
      const std::string link = LinkPath(e.uuid);
      const std::string target = "../../dm-" + std::to_string(e.minor);
      switch (e.kind) {
        case EventKind::kAddNode:
          fs::create_directories(root_ + "/dev/block", ec);
          FillNode(e.minor);
          break;
        case EventKind::kAddLink:
          fs::create_directories(root_ + "/dev/block/mapper/by-uuid", ec);
          fs::remove(link, ec);
          fs::create_symlink(target, link, ec);
          break;
        case EventKind::kRemoveNode:
          fs::remove(NodePath(e.minor), ec);
          break;
        case EventKind::kRemoveLink:
          // Only its own link: another device may have taken the uuid since.
          if (fs::read_symlink(link, ec) == target) fs::remove(link, ec);
          break;
      }
    }
    if (applied) SaveState();
  }

  void RemoveIfDeferred(uint32_t minor) {
    auto it = state_.devices.find(minor);
    if (it == state_.devices.end() || !it->second.deferred_remove ||
        OpenCount(minor) > 0)
      return;
    MappedDevice gone = std::move(it->second);
    state_.devices.erase(it);
    Removed(gone, gone.block_device);
    SaveState();
  }

  Signature StatState() const {
    Signature s;
    struct stat st;
    if (stat((StateDir() + "/state").c_str(), &st) == 0) {
      s.exists = true;
      s.ino = st.st_ino;
      s.size = st.st_size;
      s.mtime = st.st_mtim;
    }
    return s;
  }

  void ReloadIfChanged() {
    const Signature now = StatState();
    if (now == signature_) return;
    signature_ = now;
    std::string text;
    State loaded;
    if (!now.exists) {
      state_ = State();
    } else if (ReadText(StateDir() + "/state", &text) &&
               ParseState(text, &loaded)) {
      state_ = std::move(loaded);
    } else {
      fprintf(stderr, "fakedm: ignoring malformed %s/state\n",
              StateDir().c_str());
    }
  }

  void SaveState() {
    std::error_code ec;
    fs::create_directories(StateDir(), ec);
    const std::string path = StateDir() + "/state";
    {
      std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
      out << SerializeState(state_);
      if (!out) return;
    }
    if (rename((path + ".tmp").c_str(), path.c_str()) == 0)
      signature_ = StatState();
  }

  void AppendRequest(const Outcome& o) {
    std::string name = o.device;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '\t' || c == '\n'; },
        ' ');
    std::error_code ec;
    fs::create_directories(StateDir(), ec);
    std::ofstream out(StateDir() + "/requests", std::ios::app);
    out << o.request << '\t' << name << '\t' << ErrnoName(o.error) << '\n';
  }

  void WriteOpenFds() {
    if (root_.empty()) return;
    std::error_code ec;
    fs::create_directories(StateDir(), ec);
    std::ofstream out(StateDir() + "/open_fds", std::ios::trunc);
    out << tracked_.size() << '\n';
  }

  bool settings_read_ = false;
  Settings settings_;
  Faults faults_;
  DeviceManager device_manager_;
  std::string root_;
  std::string root_real_;
  State state_;
  Signature signature_;
  std::map<int, Tracked> tracked_;
  std::map<std::string, int> request_counts_;
  int control_eintr_used_ = 0;
  int status_full_used_ = 0;
};

// Never destroyed: interposed calls may come during exit.
Fake& TheFake() {
  static Fake* fake = new Fake();
  return *fake;
}

}  // namespace

bool IsRedirected(const char* path) {
  static constexpr std::string_view kFiles[] = {
      "/dev/device-mapper", "/prop.default", "/default.prop"};
  static constexpr std::string_view kTrees[] = {
      "/dev/block", "/system", "/system_ext", "/vendor", "/product", "/odm"};
  const std::string_view p(path);
  for (std::string_view f : kFiles) {
    if (p == f) return true;
  }
  for (std::string_view t : kTrees) {
    if (p.compare(0, t.size(), t) == 0 &&
        (p.size() == t.size() || p[t.size()] == '/')) {
      return true;
    }
  }
  return false;
}

int Open(int dirfd, const char* path, int flags, mode_t mode) {
  Inside inside;
  if (!inside.outer()) return Real().openat(dirfd, path, flags, mode);
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mu);
  if (!f.Active()) {
    lock.unlock();
    return Real().openat(dirfd, path, flags, mode);
  }
  f.Tick();
  if (!path || path[0] != '/' || !IsRedirected(path)) {
    lock.unlock();
    const int fd = Real().openat(dirfd, path, flags, mode);
    // A descriptor number the fake still holds was closed behind its back.
    if (fd >= 0) {
      lock.lock();
      f.Untrack(fd);
    }
    return fd;
  }
  Tracked t;
  t.control = strcmp(path, "/dev/device-mapper") == 0;
  int err = 0;
  if (t.control && f.FailControlOpen(&err)) {
    errno = err;
    return -1;
  }
  const std::string redirected = f.Redirect(path);
  const int fd = Real().openat(AT_FDCWD, redirected.c_str(), flags, mode);
  if (fd < 0) return fd;
  const int saved = errno;
  char real[PATH_MAX];
  if (!t.control && realpath(redirected.c_str(), real))
    t.node = f.IsNode(real, &t.minor);
  f.Track(fd, t);
  errno = saved;
  return fd;
}

int Access(int dirfd, const char* path, int mode, int flags) {
  Inside inside;
  if (!inside.outer()) return Real().faccessat(dirfd, path, mode, flags);
  Fake& f = TheFake();
  std::unique_lock<std::mutex> lock(f.mu);
  if (!f.Active() || !path || path[0] != '/' || !IsRedirected(path)) {
    if (f.Active()) f.Tick();
    lock.unlock();
    return Real().faccessat(dirfd, path, mode, flags);
  }
  f.Tick();
  return Real().faccessat(AT_FDCWD, f.Redirect(path).c_str(), mode, flags);
}

int Close(int fd) {
  Inside inside;
  if (inside.outer()) {
    Fake& f = TheFake();
    std::lock_guard<std::mutex> lock(f.mu);
    if (f.Active()) {
      f.Tick();
      const int saved = errno;
      f.Untrack(fd);
      errno = saved;
    }
  }
  return Real().close(fd);
}

int Ioctl(int fd, unsigned long request, void* arg) {
  Inside inside;
  if (inside.outer()) {
    Fake& f = TheFake();
    std::lock_guard<std::mutex> lock(f.mu);
    if (f.Active() && f.IsControl(fd)) {
      f.Tick();
      const int err = f.HandleIoctl(request, arg);
      errno = err ? err : errno;
      return err ? -1 : 0;
    }
  }
  return Real().ioctl(fd, request, arg);
}

}  // namespace internal

// The public API: every call works under the lock and as "inside".
namespace {
template <typename F>
auto Locked(F&& fn) {
  internal::Inside inside;
  internal::Fake& f = internal::TheFake();
  std::lock_guard<std::mutex> lock(f.mu);
  const bool active = f.Active();
  if (active) f.Tick();
  return fn(f, active);
}
}  // namespace

void SetRoot(const std::string& root) {
  Locked([&](internal::Fake& f, bool) {
    f.SetRoot(root);
    return 0;
  });
}

std::string Root() {
  return Locked([](internal::Fake& f, bool) { return f.root(); });
}

void Reset() {
  Locked([](internal::Fake& f, bool active) {
    if (active) f.Reset();
    return 0;
  });
}

void SetFaults(const Faults& faults) {
  Locked([&](internal::Fake& f, bool) {
    f.SetFaults(faults);
    return 0;
  });
}

Faults GetFaults() {
  return Locked([](internal::Fake& f, bool) { return f.faults(); });
}

void SetDeviceManager(const DeviceManager& device_manager) {
  Locked([&](internal::Fake& f, bool) {
    f.SetDeviceManager(device_manager);
    return 0;
  });
}

DeviceManager GetDeviceManager() {
  return Locked([](internal::Fake& f, bool) { return f.device_manager(); });
}

void Settle() {
  while (true) {
    const int64_t due =
        Locked([](internal::Fake& f, bool) { return f.LastDue(); });
    if (due == 0) return;
    const int64_t wait = due - internal::NowNs();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
  }
}

std::vector<Device> Devices() {
  return Locked([](internal::Fake& f, bool active) {
    return active ? f.Devices() : std::vector<Device>();
  });
}

std::vector<Request> Requests() {
  return Locked([](internal::Fake& f, bool active) {
    return active ? f.Requests() : std::vector<Request>();
  });
}

int OpenDescriptors() {
  return Locked([](internal::Fake& f, bool) { return f.OpenDescriptors(); });
}

std::string DeviceNumberOf(const std::string& path) {
  return Locked([&](internal::Fake& f, bool active) {
    return active ? f.DeviceNumberOf(path) : std::string();
  });
}

}  // namespace fakedm
