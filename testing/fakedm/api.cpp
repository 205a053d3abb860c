// The test API of fakedm.h: every call works under the fake's lock and as
// "inside" (its own file I/O goes straight to libc), after the work due at
// the start of any call.
#include <chrono>
#include <thread>

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

std::string Root() {
  return Locked([](Fake& f, bool) { return f.root(); });
}

void Reset() {
  Locked([](Fake& f, bool active) {
    if (active) f.Reset();
  });
}

void SetFaults(const Faults& faults) {
  Locked([&](Fake& f, bool) { f.SetFaults(faults); });
}

Faults GetFaults() {
  return Locked([](Fake& f, bool) { return f.faults(); });
}

void SetDeviceManager(const DeviceManager& device_manager) {
  Locked([&](Fake& f, bool) { f.SetDeviceManager(device_manager); });
}

DeviceManager GetDeviceManager() {
  return Locked([](Fake& f, bool) { return f.device_manager(); });
}

void Settle() {
  while (true) {
    const int64_t due = Locked([](Fake& f, bool) { return f.LastDue(); });
    if (due == 0) return;
    const int64_t wait = due - internal::NowNs();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
  }
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
