// Contract: a device's life — status flags and table counts after each step,
// the removal reply at its end, and devices that outlive the process that
// made them.
#include <errno.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "contract_fixture.h"

namespace contract {
namespace {

enum class Op {
  kLoadOne,
  kLoadTwo,
  kLoadReadOnly,
  kLoadTooLong,
  kResume,
  kSuspend
};

struct Step {
  Op op;
  int error;
  uint32_t reply_flags;     // checked on success
  uint32_t status_flags;    // DM_DEV_STATUS afterwards
  uint32_t live_targets;    // its target_count
  uint32_t staged_targets;  // target_count with DM_QUERY_INACTIVE_TABLE_FLAG
};

constexpr uint32_t kActive = DM_ACTIVE_PRESENT_FLAG;
constexpr uint32_t kInactive = DM_INACTIVE_PRESENT_FLAG;
constexpr uint32_t kUevent = DM_UEVENT_GENERATED_FLAG;
constexpr uint32_t kSuspended = DM_SUSPEND_FLAG;
constexpr uint32_t kReadOnly = DM_READONLY_FLAG;

TEST_F(DmContract, FlagsAndCountsAfterEachStepThenTheRemovalReply) {
  const auto apply = [&](Op op, const std::string& name) {
    switch (op) {
      case Op::kLoadOne:
        return LoadLinear(name, {{16, "/dev/block/sdb", 8}});
      case Op::kLoadTwo:
        return LoadLinear(
            name, {{16, "/dev/block/sdb", 8}, {8, "/dev/block/sda", 8}});
      case Op::kLoadReadOnly:
        return LoadLinear(name, {{16, "/dev/block/sdb", 8}}, DM_READONLY_FLAG);
      case Op::kLoadTooLong:
        return LoadLinear(name, {{DiskSectors("/dev/block/sdb") - 8 + 1,
                                  "/dev/block/sdb", 8}});
      case Op::kResume:
        return Resume(name);
      case Op::kSuspend:
        return Suspend(name);
    }
    return Result{EINVAL, DmRequest()};
  };
  const Step load_one = {Op::kLoadOne, 0, kInactive, kInactive, 0, 1};
  const Step resume_one = {Op::kResume, 0, kUevent | kActive, kActive, 1, 0};
  const struct {
    const char* name;
    std::vector<Step> steps;
    uint32_t removal_flags;  // whether a uevent went, and a staged table
  } lives[] = {
      {"LoadResumeReloadSuspend",
       {load_one,
        resume_one,
        {Op::kLoadTwo, 0, kActive | kInactive, kActive | kInactive, 1, 2},
        {Op::kSuspend, 0, kSuspended | kActive | kInactive,
         kSuspended | kActive | kInactive, 1, 2},
        {Op::kResume, 0, kUevent | kActive, kActive, 2, 0},
        {Op::kResume, 0, kActive, kActive, 2, 0},
        {Op::kSuspend, 0, kSuspended | kActive, kSuspended | kActive, 2, 0},
        {Op::kSuspend, 0, kSuspended | kActive, kSuspended | kActive, 2, 0},
        {Op::kResume, 0, kUevent | kActive, kActive, 2, 0}},
       kUevent},
      {"NeverLoaded", {}, 0},
      {"ResumeWithoutTable", {{Op::kResume, 0, 0, 0, 0, 0}}, 0},
      {"SuspendedWithoutTableCannotResume",
       {{Op::kSuspend, 0, kSuspended, kSuspended, 0, 0},
        {Op::kResume, EINVAL, 0, kSuspended, 0, 0}},
       0},
      {"LoadedNeverResumed", {load_one}, kUevent | kInactive},
      {"LiveTable", {load_one, resume_one}, kUevent},
      {"LiveAndStagedTables",
       {load_one,
        resume_one,
        {Op::kLoadOne, 0, kActive | kInactive, kActive | kInactive, 1, 1}},
       kUevent | kInactive},
      {"SuspendedLiveTable",
       {load_one,
        resume_one,
        {Op::kSuspend, 0, kSuspended | kActive, kSuspended | kActive, 1, 0}},
       kUevent},
      {"ReadOnlyTable",
       {{Op::kLoadReadOnly, 0, kInactive, kInactive, 0, 1},
        {Op::kResume, 0, kUevent | kActive | kReadOnly, kActive | kReadOnly, 1,
         0}},
       kUevent},
      {"TooLongFirstTableLeavesNoTable",
       {{Op::kLoadTooLong, EINVAL, 0, 0, 0, 0},
        {Op::kResume, 0, 0, 0, 0, 0},
        load_one},
       kUevent | kInactive},
      {"TooLongFirstTableRefused", {{Op::kLoadTooLong, EINVAL, 0, 0, 0, 0}}, 0},
      {"TooLongLaterTableFailsAtResume",
       {load_one,
        resume_one,
        {Op::kLoadTooLong, 0, kActive | kInactive, kActive | kInactive, 1, 1},
        {Op::kResume, EINVAL, 0, kSuspended | kActive, 1, 0},
        {Op::kResume, 0, kUevent | kActive, kActive, 1, 0}},
       kUevent},
  };
  for (const auto& life : lives) {
    SCOPED_TRACE(life.name);
    // Suspending and staged-table queries are the real kernel's steps only:
    // the library never asks for them.
    if (!IsRealKernel() &&
        std::any_of(life.steps.begin(), life.steps.end(),
                    [](const Step& s) { return s.op == Op::kSuspend; }))
      continue;
    const std::string name = NewName();
    Result created = Create(name, NewUuid());
    ASSERT_EQ(created.error, 0);
    EXPECT_EQ(created->flags, 0u);
    int index = 0;
    for (const Step& s : life.steps) {
      SCOPED_TRACE("step " + std::to_string(index++));
      Result r = apply(s.op, name);
      ASSERT_EQ(r.error, s.error) << strerror(r.error);
      if (s.error == 0) {
        EXPECT_EQ(r->flags, s.reply_flags) << std::hex << r->flags;
      }
      Result status = Status(name);
      ASSERT_EQ(status.error, 0);
      EXPECT_EQ(status->flags, s.status_flags) << std::hex << status->flags;
      EXPECT_EQ(status->target_count, s.live_targets);
      if (!IsRealKernel()) continue;
      Result staged = Status(name, DM_QUERY_INACTIVE_TABLE_FLAG);
      ASSERT_EQ(staged.error, 0);
      EXPECT_EQ(staged->target_count, s.staged_targets);
    }
    Result removed = Remove(name);
    ASSERT_EQ(removed.error, 0) << strerror(removed.error);
    EXPECT_EQ(removed->flags, life.removal_flags) << std::hex << removed->flags;
    EXPECT_EQ(removed->data_size, kBareSize);
    EXPECT_EQ(removed->name, name);
    EXPECT_EQ(Status(name).error, ENXIO);
  }
}

TEST_F(DmContract, DevicesOutliveTheProcessThatMadeThem) {
  const std::string name = NewName();
  const std::string uuid = NewUuid();
  const std::string records = LinearRecords({{16, "/dev/block/sdb", 8}});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No test macros here: the child only reports through its exit code.
    DmRequest create = Named(name);
    create.SetUuid(uuid);
    DmRequest load = Named(name);
    load.SetTable(records, 1);
    if (Run(DM_DEV_CREATE, std::move(create)).error) _exit(1);
    if (Run(DM_TABLE_LOAD, std::move(load)).error) _exit(2);
    if (Run(DM_DEV_SUSPEND, Named(name)).error) _exit(3);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  Adopt(name);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  Result r = Status(name);
  ASSERT_EQ(r.error, 0);
  EXPECT_EQ(r->flags, kActive);
  EXPECT_EQ(r->target_count, 1u);
  EXPECT_EQ(r->uuid, uuid);
  const std::vector<StatusRecord> table = Table(name, DM_STATUS_TABLE_FLAG);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].text, DeviceNumberOf("/dev/block/sdb") + " 8");
  Result removed = Remove(name);
  ASSERT_EQ(removed.error, 0);
  EXPECT_EQ(removed->flags, kUevent);
}

}  // namespace
}  // namespace contract
