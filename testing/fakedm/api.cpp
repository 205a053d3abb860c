// The test API of fakedm.h: every call works under the fake's lock and as
// "inside" (its own file I/O goes straight to libc); it is no call on the
// sandbox the device manager counts.
#include "fake.h"

namespace fakedm {
namespace {

using internal::Fake;

// |fn|'s result on the locked fake; |inactive| when it has no root, unless
// |always|.
template <typename F, typename R = std::invoke_result_t<F, Fake&>>
R Locked(F&& fn, R inactive = R(), bool always = false) {
  internal::Inside inside;
  Fake& f = internal::TheFake();
  std::lock_guard<std::mutex> lock(f.mu);
  return f.Active() || always ? fn(f) : inactive;
}

}  // namespace

void SetRoot(const std::string& root) {
  Locked([&](Fake& f) { return (f.UseRoot(root), 0); }, 0, true);
}

void Reset() {
  Locked([](Fake& f) { return (f.Reset(), 0); });
}

void ReadEnvironment() {
  Locked([](Fake& f) { return (f.ReadEnvironment(), 0); }, 0, true);
}

std::vector<Device> Devices() {
  return Locked([](Fake& f) { return f.Devices(); });
}

std::vector<Request> Requests() {
  return Locked([](Fake& f) { return f.Requests(); });
}

int OpenDescriptors() {
  return Locked([](Fake& f) { return f.OpenDescriptors(); });
}

int ControlOpenFlags() {
  return Locked([](Fake& f) { return f.ControlOpenFlags(); }, -1);
}

std::string DeviceNumberOf(const std::string& path) {
  return Locked([&](Fake& f) { return f.DeviceNumberOf(path); });
}

}  // namespace fakedm
