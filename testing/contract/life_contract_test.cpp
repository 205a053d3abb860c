// Contract: a device's life — status flags and table counts after each step,
// the removal reply, and devices that outlive the process that made them.
#include <errno.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "contract_env.h"
#include "contract_fixture.h"

namespace contract {
namespace {

// Steps of a device's life and what the kernel reports after each.
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

struct Life {
  const char* name;
  std::vector<Step> steps;
};

// The fixture that can take a device through the steps of its life.
class DeviceSteps : public DmContract {
 protected:
  Result Apply(Op op, const std::string& name) {
    const uint64_t sdb = DiskSectors("/dev/block/sdb");
    switch (op) {
      case Op::kLoadOne:
        return LoadLinear(name, {{16, "/dev/block/sdb", 8}});
      case Op::kLoadTwo:
        return LoadLinear(
            name, {{16, "/dev/block/sdb", 8}, {8, "/dev/block/sda", 8}});
      case Op::kLoadReadOnly:
        return LoadLinear(name, {{16, "/dev/block/sdb", 8}}, DM_READONLY_FLAG);
      case Op::kLoadTooLong:
        return LoadLinear(name, {{sdb - 8 + 1, "/dev/block/sdb", 8}});
      case Op::kResume:
        return Resume(name);
      case Op::kSuspend:
        return Suspend(name);
    }
    return Result{EINVAL, DmRequest()};
  }
};

class DeviceLife : public DeviceSteps,
                   public testing::WithParamInterface<Life> {};

// Suspending and staged-table queries are the real kernel's steps only: the
// library never asks for them.
bool RealOnly(const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    if (s.op == Op::kSuspend) return true;
  }
  return false;
}

TEST_P(DeviceLife, FlagsAndCountsAfterEachStep) {
  const std::string name = NewName();
  Result created = Create(name, NewUuid());
  ASSERT_EQ(created.error, 0);
  EXPECT_EQ(created->flags, 0u);
  int index = 0;
  for (const Step& s : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    Result r = Apply(s.op, name);
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
}

constexpr uint32_t kActive = DM_ACTIVE_PRESENT_FLAG;
constexpr uint32_t kInactive = DM_INACTIVE_PRESENT_FLAG;
constexpr uint32_t kUevent = DM_UEVENT_GENERATED_FLAG;
constexpr uint32_t kSuspended = DM_SUSPEND_FLAG;
constexpr uint32_t kReadOnly = DM_READONLY_FLAG;

INSTANTIATE_TEST_SUITE_P(
    Contract, DeviceLife,
    testing::ValuesIn(RowsFor<Life>(
        {Life{
             "LoadResumeReloadSuspend",
             {{Op::kLoadOne, 0, kInactive, kInactive, 0, 1},
              {Op::kResume, 0, kUevent | kActive, kActive, 1, 0},
              {Op::kLoadTwo, 0, kActive | kInactive, kActive | kInactive, 1, 2},
              {Op::kSuspend, 0, kSuspended | kActive | kInactive,
               kSuspended | kActive | kInactive, 1, 2},
              {Op::kResume, 0, kUevent | kActive, kActive, 2, 0},
              {Op::kResume, 0, kActive, kActive, 2, 0},
              {Op::kSuspend, 0, kSuspended | kActive, kSuspended | kActive, 2,
               0},
              {Op::kSuspend, 0, kSuspended | kActive, kSuspended | kActive, 2,
               0},
              {Op::kResume, 0, kUevent | kActive, kActive, 2, 0}}},
         Life{"ResumeWithoutTable", {{Op::kResume, 0, 0, 0, 0, 0}}},
         Life{"SuspendedWithoutTableCannotResume",
              {{Op::kSuspend, 0, kSuspended, kSuspended, 0, 0},
               {Op::kResume, EINVAL, 0, kSuspended, 0, 0}}},
         Life{"ReadOnlyTable",
              {{Op::kLoadReadOnly, 0, kInactive, kInactive, 0, 1},
               {Op::kResume, 0, kUevent | kActive | kReadOnly,
                kActive | kReadOnly, 1, 0}}},
         Life{"TooLongFirstTableLeavesNoTable",
              {{Op::kLoadTooLong, EINVAL, 0, 0, 0, 0},
               {Op::kResume, 0, 0, 0, 0, 0},
               {Op::kLoadOne, 0, kInactive, kInactive, 0, 1}}},
         Life{"TooLongLaterTableFailsAtResume",
              {{Op::kLoadOne, 0, kInactive, kInactive, 0, 1},
               {Op::kResume, 0, kUevent | kActive, kActive, 1, 0},
               {Op::kLoadTooLong, 0, kActive | kInactive, kActive | kInactive,
                1, 1},
               {Op::kResume, EINVAL, 0, kSuspended | kActive, 1, 0},
               {Op::kResume, 0, kUevent | kActive, kActive, 1, 0}}}},
        [](const Life& life) { return RealOnly(life.steps); })),
    [](const testing::TestParamInfo<Life>& info) { return info.param.name; });

TEST_F(DeviceSteps, RemovalReplyTellsWhetherAUeventWent) {
  const struct {
    const char* what;
    std::vector<std::pair<Op, int>> before;  // each step and its errno
    uint32_t flags;
  } cases[] = {
      {"never loaded", {}, 0},
      {"first load refused", {{Op::kLoadTooLong, EINVAL}}, 0},
      {"loaded, never resumed", {{Op::kLoadOne, 0}}, kUevent | kInactive},
      {"live table", {{Op::kLoadOne, 0}, {Op::kResume, 0}}, kUevent},
      {"live and staged tables",
       {{Op::kLoadOne, 0}, {Op::kResume, 0}, {Op::kLoadOne, 0}},
       kUevent | kInactive},
      {"suspended",
       {{Op::kLoadOne, 0}, {Op::kResume, 0}, {Op::kSuspend, 0}},
       kUevent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Step> steps;
    for (const auto& [op, error] : c.before)
      steps.push_back({op, error, 0, 0, 0, 0});
    if (RealOnly(steps) && !IsRealKernel()) continue;
    const std::string name = NewName();
    ASSERT_EQ(Create(name, NewUuid()).error, 0);
    for (const auto& [op, error] : c.before) {
      ASSERT_EQ(Apply(op, name).error, error);
    }
    Result r = Remove(name);
    ASSERT_EQ(r.error, 0) << strerror(r.error);
    EXPECT_EQ(r->flags, c.flags) << std::hex << r->flags;
    EXPECT_EQ(r->data_size, kBareSize);
    EXPECT_EQ(r->name, name);
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
  Result table = TableStatus(name, DM_STATUS_TABLE_FLAG);
  ASSERT_EQ(table.error, 0);
  std::vector<StatusRecord> records_back = ParseStatus(table.reply);
  ASSERT_EQ(records_back.size(), 1u);
  EXPECT_EQ(records_back[0].text, DeviceNumberOf("/dev/block/sdb") + " 8");
  Result removed = Remove(name);
  ASSERT_EQ(removed.error, 0);
  EXPECT_EQ(removed->flags, kUevent);
}

}  // namespace
}  // namespace contract
