// The fake's files under $ROOT/.fakedm; see store.h.
#include "store.h"

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config.h"
#include "text.h"

namespace fakedm {
namespace internal {

namespace fs = std::filesystem;

bool StateStore::Signature::operator==(const Signature& o) const {
  return exists == o.exists && ino == o.ino && size == o.size &&
         mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
}

void StateStore::SetRoot(const std::string& root) {
  dir_ = root.empty() ? "" : root + "/.fakedm";
  signature_ = Signature();
}

StateStore::Signature StateStore::StatFile() const {
  Signature s;
  struct stat st;
  if (!dir_.empty() && stat((dir_ + "/state").c_str(), &st) == 0) {
    s.exists = true;
    s.ino = st.st_ino;
    s.size = st.st_size;
    s.mtime = st.st_mtim;
  }
  return s;
}

bool StateStore::MakeDir() const {
  std::error_code ec;
  if (dir_.empty()) return false;
  fs::create_directories(dir_, ec);
  return true;
}

void StateStore::ReloadIfChanged(State* state) {
  const Signature now = StatFile();
  if (now == signature_) return;
  signature_ = now;
  std::string text;
  State loaded;
  if (!now.exists) {
    *state = State();
  } else if (ReadWholeFile(dir_ + "/state", &text) &&
             ParseState(text, &loaded)) {
    *state = std::move(loaded);
  } else {
    fprintf(stderr, "fakedm: ignoring malformed %s/state\n", dir_.c_str());
  }
}

void StateStore::Save(const State& state) {
  if (!MakeDir()) return;
  const std::string path = dir_ + "/state";
  {
    std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
    out << SerializeState(state);
    if (!out) return;
  }
  if (rename((path + ".tmp").c_str(), path.c_str()) == 0)
    signature_ = StatFile();
}

void StateStore::AppendRequest(const std::string& request,
                               const std::string& device, int error) const {
  if (!MakeDir()) return;
  std::string name = device;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == '\t' || c == '\n'; },
      ' ');
  std::ofstream out(dir_ + "/requests", std::ios::app);
  out << request << '\t' << name << '\t' << ErrnoName(error) << '\n';
}

std::vector<Request> StateStore::Requests() const {
  std::vector<Request> out;
  std::string text;
  if (dir_.empty() || !ReadWholeFile(dir_ + "/requests", &text)) return out;
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

void StateStore::WriteOpenDescriptors(size_t count) const {
  if (!MakeDir()) return;
  std::ofstream out(dir_ + "/open_fds", std::ios::trunc);
  out << count << '\n';
}

void StateStore::Clear() const {
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

}  // namespace internal
}  // namespace fakedm
