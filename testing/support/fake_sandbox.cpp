// The fake kernel's sandbox; see fake_sandbox.h.
#include "fake_sandbox.h"

#include <fakedm/fakedm.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "witness.h"

namespace quillmap_testing {

std::vector<std::string> RequestLog() {
  std::vector<std::string> log;
  for (const fakedm::Request& r : fakedm::Requests()) {
    std::string entry = r.request + " " + r.name;
    if (r.error != 0) entry += " " + std::to_string(r.error);
    log.push_back(entry);
  }
  return log;
}

std::vector<std::string> DevicesLeft() {
  static const std::regex kUuidShape(kUuid);
  std::vector<std::string> left;
  for (const fakedm::Device& d : fakedm::Devices()) {
    std::string text = d.name + " dm-" + std::to_string(d.minor);
    if (!std::regex_match(d.uuid, kUuidShape)) text += " uuid '" + d.uuid + "'";
    text += ":";
    for (const fakedm::Target& t : d.active) {
      text += " " + std::to_string(t.start) + " " + std::to_string(t.length) +
              " " + t.type + " " + t.params;
    }
    left.push_back(text);
  }
  return left;
}

void SetFakeEnvironment(const std::vector<std::string>& faults) {
  std::string list;
  for (const std::string& f : faults) list += (list.empty() ? "" : ",") + f;
  setenv("FAKEDM_FAULTS", list.c_str(), 1);
  fakedm::ReadEnvironment();
}

std::string DiskPattern(const std::string& name, uint64_t size) {
  uint32_t seed = 0;
  for (unsigned char c : name) seed += c;
  seed = seed * 7919 + static_cast<uint32_t>(name.size());
  std::string bytes(size, '\0');
  for (uint64_t at = 0; at < size; ++at) {
    const auto word = static_cast<uint32_t>((at / 4) * 2654435761u + seed);
    bytes[at] = static_cast<char>(word >> (8 * (at % 4)));
  }
  return bytes;
}

FakeSandbox::FakeSandbox(const std::string& prefix) : dir_(prefix) {
  // Nothing of the host's environment may steer the library or the fake.
  unsetenv("ANDROID_PROPERTY_FILES");
  unsetenv("ANDROID_LOG_TAGS");
  SetFakeEnvironment({});
  // The fake keeps the kernel log in the sandbox too: a program run here
  // writes its records there, never to the host's.
  ok_ = dir_.ok() && !dir_.File("dev/device-mapper", "").empty() &&
        !dir_.File("dev/kmsg", "").empty();
  fakedm::SetRoot(root());
  fakedm::Reset();
}

FakeSandbox::~FakeSandbox() {
  fakedm::Reset();
  fakedm::SetRoot("");
}

std::string FakeSandbox::Inside(const std::string& path) const {
  return root() + path;
}

bool FakeSandbox::AddDisk(const std::string& path, const std::string& header,
                          uint64_t size) const {
  // Every disk the tests use fits; a larger one is sparse after it.
  constexpr uint64_t kPatternBytes = 4 << 20;
  const std::string name = path.substr(path.rfind('/') + 1);
  std::string bytes = DiskPattern(name, std::min(size, kPatternBytes));
  bytes.replace(0, std::min(header.size(), bytes.size()), header, 0,
                std::min(header.size(), bytes.size()));
  return !dir_.File(path.substr(1), bytes, size).empty();
}

bool FakeSandbox::RemoveControlNode() const {
  return unlink(Inside("/dev/device-mapper").c_str()) == 0;
}

int FakeSandbox::Run(const std::string& program,
                     const std::string& fakedm_library,
                     std::vector<std::string>* lines,
                     const std::vector<std::string>& launcher) const {
  std::vector<std::string> argv = launcher;
  argv.push_back(program);
  std::string output;
  const int status = contract::RunCommand(
      argv, &output,
      {"FAKEDM_ROOT=" + root(), "LD_PRELOAD=" + fakedm_library,
       // Under the sanitizer build the runtime is not first in the list.
       "ASAN_OPTIONS=verify_asan_link_order=0"});
  *lines = contract::LogLines(output);
  // Read the kernel state the run left behind.
  fakedm::SetRoot(root());
  return status;
}

}  // namespace quillmap_testing
