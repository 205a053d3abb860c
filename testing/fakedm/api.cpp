// The test API of fakedm.h: every call works under the fake's lock and as
// "inside" (its own file I/O goes straight to libc), after the work due at
// the start of any call.
#include "calls.h"
#include "devmgr.h"
#include "fake.h"
#include "fakedm/fakedm.h"

namespace fakedm {
namespace {

using internal::Fake;

template <typename F>
auto Locked(F&& fn) {
  internal::Inside inside;
  Fake& f = internal::TheFake();
  std::lock_guard<std::mutex> lock(f.mu);
  const bool active = f.Active();
  if (active) f.Tick();
  return fn(f, active);
}

}  // namespace

void SetRoot(const std::string& root) {
  Locked([&](Fake& f, bool) { f.SetRoot(root); });
}

void Reset() {
  Locked([](Fake& f, bool active) {
    if (active) f.Reset();
  });
}

void ReadEnvironment() {
  Locked([](Fake& f, bool) { f.ReadEnvironment(); });
}

std::vector<Device> Devices() {
  return Locked([](Fake& f, bool active) {
    return active ? f.Devices() : std::vector<Device>();
  });
}

std::vector<Request> Requests() {
  return Locked([](Fake& f, bool active) {
    return active ? f.Requests() : std::vector<Request>();
  });
}

int OpenDescriptors() {
  return Locked([](Fake& f, bool) { return f.OpenDescriptors(); });
}

int ControlOpenFlags() {
  return Locked([](Fake& f, bool) { return f.ControlOpenFlags(); });
}

std::string DeviceNumberOf(const std::string& path) {
  return Locked([&](Fake& f, bool active) {
    return active ? f.DeviceNumberOf(path) : std::string();
  });
}

}  // namespace fakedm
