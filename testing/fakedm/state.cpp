// The fake kernel's state and its store (see state.h). The text form holds
// what another process reads back: one record per line, fields separated by
// tabs, with backslash, tab and newline escaped as \\, \t and \n:
//   backing <major> <minor> <root-relative path>
//   device  <minor> <name> <uuid> <suspended> <block device>
//   target  <minor> <start> <length> <type> <device> <offset> <params>
// Targets (the live table's) follow their device.
#include "state.h"

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "text.h"

namespace fakedm {
namespace internal {
namespace {

namespace fs = std::filesystem;

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& s, std::string* out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      *out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    switch (s[i]) {
      case '\\':
        *out += '\\';
        break;
      case 't':
        *out += '\t';
        break;
      case 'n':
        *out += '\n';
        break;
      default:
        return false;
    }
  }
  return true;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t begin = 0;
  while (true) {
    size_t tab = line.find('\t', begin);
    fields.push_back(line.substr(begin, tab - begin));
    if (tab == std::string::npos) return fields;
    begin = tab + 1;
  }
}

bool ParseFlag(const std::string& s, bool* out) {
  if (s != "0" && s != "1") return false;
  *out = s == "1";
  return true;
}

}  // namespace

MappedDevice* State::ByName(const std::string& name) {
  for (auto& [minor, dev] : devices) {
    if (dev.name == name) return &dev;
  }
  return nullptr;
}

MappedDevice* State::ByUuid(const std::string& uuid) {
  for (auto& [minor, dev] : devices) {
    if (!uuid.empty() && dev.uuid == uuid) return &dev;
  }
  return nullptr;
}

std::string State::BackingPath(BlockNumber n) const {
  for (const auto& [rel, num] : backing) {
    if (num == n) return rel;
  }
  return "";
}

std::string BlockNumber::Text() const {
  return std::to_string(major) + ":" + std::to_string(minor);
}

bool BlockNumber::Parse(const std::string& text, BlockNumber* out) {
  const size_t colon = text.find(':');
  return colon != std::string::npos &&
         ParseDecimal(text.substr(0, colon), &out->major) &&
         ParseDecimal(text.substr(colon + 1), &out->minor);
}

void State::Schedule(Event e) {
  auto later = std::upper_bound(
      events.begin(), events.end(), e.due_ns,
      [](int64_t due, const Event& x) { return due < x.due_ns; });
  events.insert(later, std::move(e));
}

std::string SerializeState(const State& state) {
  std::ostringstream os;
  for (const auto& [path, num] : state.backing) {
    os << "backing\t" << num.major << '\t' << num.minor << '\t' << Escape(path)
       << '\n';
  }
  for (const auto& [minor, d] : state.devices) {
    os << "device\t" << minor << '\t' << Escape(d.name) << '\t'
       << Escape(d.uuid) << '\t' << d.suspended << '\t' << d.block_device
       << '\n';
    if (!d.active) continue;
    for (const LoadedTarget& lt : d.active->targets) {
      os << "target\t" << minor << '\t' << lt.target.start << '\t'
         << lt.target.length << '\t' << Escape(lt.target.type) << '\t'
         << Escape(lt.device) << '\t' << lt.offset << '\t'
         << Escape(lt.target.params) << '\n';
    }
  }
  return os.str();
}

bool ParseState(const std::string& text, State* out) {
  State s;
  std::istringstream is(text);
  std::string line;
  while (std::getline(is, line)) {
    if (line.empty()) continue;
    std::vector<std::string> raw = SplitTabs(line);
    std::vector<std::string> f(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
      if (!Unescape(raw[i], &f[i])) return false;
    }
    uint32_t number = 0;
    if (f.size() < 2 || !ParseDecimal(f[1], &number)) return false;
    if (f[0] == "backing" && f.size() == 4) {
      BlockNumber num{number, 0};
      if (!ParseDecimal(f[2], &num.minor)) return false;
      s.backing[f[3]] = num;
    } else if (f[0] == "device" && f.size() == 6) {
      MappedDevice d;
      d.minor = number;
      d.name = f[2];
      d.uuid = f[3];
      if (!ParseFlag(f[4], &d.suspended) || !ParseFlag(f[5], &d.block_device) ||
          !s.devices.emplace(number, d).second) {
        return false;
      }
    } else if (f[0] == "target" && f.size() == 8 && s.devices.count(number)) {
      LoadedTarget lt;
      if (!ParseDecimal(f[2], &lt.target.start) ||
          !ParseDecimal(f[3], &lt.target.length) ||
          !ParseDecimal(f[6], &lt.offset)) {
        return false;
      }
      lt.target.type = f[4];
      lt.device = f[5];
      lt.target.params = f[7];
      std::optional<Table>& table = s.devices[number].active;
      if (!table) table.emplace();
      table->targets.push_back(lt);
    } else {
      return false;
    }
  }
  *out = std::move(s);
  return true;
}

void StateStore::SetRoot(const std::string& root) {
  dir_ = root.empty() ? "" : root + "/.fakedm";
  seen_.clear();
}

bool StateStore::MakeDir() const {
  std::error_code ec;
  if (dir_.empty()) return false;
  fs::create_directories(dir_, ec);
  return true;
}

void StateStore::ReloadIfChanged(State* state) {
  std::string text;
  if (dir_.empty() || !ReadWholeFile(dir_ + "/state", &text)) text.clear();
  if (text == seen_) return;
  seen_ = text;
  State loaded;
  if (ParseState(text, &loaded)) {
    *state = std::move(loaded);
  } else {
    fprintf(stderr, "fakedm: ignoring malformed %s/state\n", dir_.c_str());
  }
}

void StateStore::Save(const State& state) {
  if (!MakeDir()) return;
  const std::string path = dir_ + "/state";
  const std::string text = SerializeState(state);
  {
    std::ofstream out(path + ".tmp", std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) return;
  }
  if (rename((path + ".tmp").c_str(), path.c_str()) == 0) seen_ = text;
}

void StateStore::AppendRequest(const std::string& request,
                               const std::string& device, int error) const {
  if (!MakeDir()) return;
  std::string name = device;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == '\t' || c == '\n'; },
      ' ');
  std::ofstream out(dir_ + "/requests", std::ios::app);
  out << request << '\t' << name << '\t' << error << '\n';
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
    if (!ParseDecimal(err, &r.error)) r.error = -1;
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
