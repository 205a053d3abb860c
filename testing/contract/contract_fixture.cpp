#include "contract_fixture.h"

#include <errno.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>

#include "witness.h"

namespace contract {
namespace {

// Far above any device manager's latency (150 ms worst seen in guests).
constexpr auto kWaitBound = std::chrono::seconds(10);

int g_sequence = 0;

}  // namespace

uint64_t DiskSectors(const std::string& path) {
  for (const Disk& d : kDisks) {
    if (path == d.path) return d.size / 512;
  }
  ADD_FAILURE() << "no disk " << path;
  return 0;
}

Version KernelVersion() {
  const Result r = DmClient().Run(DM_VERSION, DmRequest());
  EXPECT_EQ(r.error, 0) << "DM_VERSION: " << strerror(r.error);
  return {r->version[0], r->version[1], r->version[2]};
}

void DmContract::SetUp() {
  ASSERT_TRUE(ok()) << "control node: " << strerror(errno);
}

void DmContract::TearDown() {
  for (const std::string& name : made_) {
    Result status = Status(name);
    if (status.error == ENXIO) continue;
    minors_.insert(minor(status->dev));
    Result removed = Remove(name);
    EXPECT_EQ(removed.error, 0)
        << "cleanup of " << name << ": " << strerror(removed.error);
  }
  // The device manager may still be removing nodes; the next test must not
  // see them.
  for (uint32_t m : minors_)
    EXPECT_TRUE(WaitFor(NodePath(m), false)) << NodePath(m);
}

std::string DmContract::NewName(const char* prefix) {
  return prefix + std::to_string(getpid()) + "-" + std::to_string(++g_sequence);
}

Result DmContract::Create(const std::string& name, const std::string& uuid) {
  DmRequest req = Named(name);
  req.SetUuid(uuid);
  return CreateWith(std::move(req));
}

Result DmContract::CreateWith(DmRequest req) {
  Result r = Run(DM_DEV_CREATE, std::move(req));
  if (r.error == 0) {
    made_.push_back(r->name);
    minors_.insert(minor(r->dev));
  }
  return r;
}

Result DmContract::Load(const std::string& name, const std::string& records,
                        uint32_t count, uint32_t flags) {
  DmRequest req = Named(name, flags);
  req.SetTable(records, count);
  return Run(DM_TABLE_LOAD, std::move(req));
}

Result DmContract::LoadLinear(const std::string& name,
                              const std::vector<Linear>& targets,
                              uint32_t flags) {
  return Load(name, LinearRecords(targets),
              static_cast<uint32_t>(targets.size()), flags);
}

int DmContract::MakeLinear(const std::string& name, const std::string& uuid,
                           const std::vector<Linear>& targets) {
  Result created = Create(name, uuid);
  EXPECT_EQ(created.error, 0) << strerror(created.error);
  Result loaded = LoadLinear(name, targets);
  EXPECT_EQ(loaded.error, 0) << strerror(loaded.error);
  Result resumed = Resume(name);
  EXPECT_EQ(resumed.error, 0) << strerror(resumed.error);
  if (created.error || loaded.error || resumed.error) return -1;
  return static_cast<int>(minor(created->dev));
}

uint32_t DmContract::MinorOf(const std::string& name) {
  Result r = Status(name);
  EXPECT_EQ(r.error, 0) << name;
  return minor(r->dev);
}

bool DmContract::WaitFor(const std::string& path, bool present) {
  // access(), not lstat(): the fake redirects it into its sandbox.
  return contract::WaitFor(
      [&] { return (access(path.c_str(), F_OK) == 0) == present; }, kWaitBound);
}

}  // namespace contract
