// The fake's state store, the sandbox's .fakedm/: "state" (backing numbers,
// devices and live tables, rewritten after every request and read back when
// another process replaced it), "requests" (one line per request) and
// "open_fds" (the descriptors open on redirected paths). Texts are written
// std::quoted, so any name survives.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>

#include "fake.h"

namespace fakedm {
namespace internal {
namespace {

// The state file's identity: another process replaces it by a rename.
std::string Identity(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_ino) + " " + std::to_string(st.st_mtim.tv_sec) +
         "." + std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

void Fake::Save() {
  std::error_code ec;
  std::filesystem::create_directories(root_ + "/.fakedm", ec);
  const std::string path = root_ + "/.fakedm/state";
  {
    std::ofstream out(path + ".tmp", std::ios::trunc);
    for (const auto& [file, number] : backing_)
      out << "b " << std::quoted(file) << ' ' << number << '\n';
    for (const auto& [minor, d] : devices) {
      out << "d " << minor << ' ' << std::quoted(d.name) << ' '
          << std::quoted(d.uuid) << ' ' << d.suspended << ' ' << d.block_device
          << ' ' << d.active.has_value() << ' '
          << (d.active && d.active->read_only) << ' '
          << (d.active ? d.active->targets.size() : 0) << '\n';
      for (const Target& t :
           d.active ? d.active->targets : std::vector<Target>()) {
        out << t.start << ' ' << t.length << ' ' << std::quoted(t.type) << ' '
            << std::quoted(t.params) << '\n';
      }
    }
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
  std::ifstream in(path);
  std::map<uint32_t, MappedDevice> loaded;
  std::map<std::string, std::string> numbers;
  for (std::string kind; in >> kind;) {
    if (kind == "b") {
      std::string file;
      in >> std::quoted(file) >> numbers[file];
      continue;
    }
    MappedDevice d;
    bool live = false;
    bool read_only = false;
    size_t count = 0;
    in >> d.minor >> std::quoted(d.name) >> std::quoted(d.uuid) >>
        d.suspended >> d.block_device >> live >> read_only >> count;
    if (kind != "d" || (count > 0 && !live)) break;
    if (live) d.active.emplace().read_only = read_only;
    for (size_t i = 0; i < count && in; ++i) {
      Target& t = d.active->targets.emplace_back();
      in >> t.start >> t.length >> std::quoted(t.type) >> std::quoted(t.params);
    }
    loaded[d.minor] = std::move(d);
  }
  if (!in.eof()) {
    fprintf(stderr, "fakedm: malformed %s\n", path.c_str());
    abort();
  }
  devices = std::move(loaded);
  backing_ = std::move(numbers);
}

void Fake::AppendRequest(const std::string& request, const std::string& device,
                         int error) const {
  std::ofstream(root_ + "/.fakedm/requests", std::ios::app)
      << request << ' ' << std::quoted(device) << ' ' << error << '\n';
}

std::vector<Request> Fake::Requests() const {
  std::vector<Request> out;
  std::ifstream in(root_ + "/.fakedm/requests");
  for (Request r; in >> r.request >> std::quoted(r.name) >> r.error;)
    out.push_back(r);
  return out;
}

void Fake::WriteOpenDescriptors() const {
  const int saved = errno;
  std::error_code ec;
  std::filesystem::create_directories(root_ + "/.fakedm", ec);
  std::ofstream(root_ + "/.fakedm/open_fds", std::ios::trunc)
      << tracked_.size() << '\n';
  errno = saved;
}

}  // namespace internal
}  // namespace fakedm
