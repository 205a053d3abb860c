// The test API of fakedm.h: every call works under the fake's lock and as
// "inside" (its own file I/O goes straight to libc); it is no call on the
// sandbox the device manager counts.
#include "fake.h"
#include "fakedm/fakedm.h"

namespace fakedm {
namespace {

using internal::Fake;

// |fn|'s result when the fake is active, |inactive| otherwise.
template <typename F, typename R = std::invoke_result_t<F, Fake&>>
R Locked(F&& fn, R inactive = R()) {
  internal::Inside inside;
  Fake& f = internal::TheFake();
  std::lock_guard<std::mutex> lock(f.mu);
  return f.Active() ? fn(f) : inactive;
}

}  // namespace

void SetRoot(const std::string& root) {
  internal::Inside inside;
  Fake& f = internal::TheFake();
  std::lock_guard<std::mutex> lock(f.mu);
  f.SetRoot(root);
}

void Reset() {
  Locked([](Fake& f) { return (f.Reset(), 0); });
}

void ReadEnvironment() {
  internal::Inside inside;
  Fake& f = internal::TheFake();
  std::lock_guard<std::mutex> lock(f.mu);
  f.Active();
  f.ReadEnvironment();
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
