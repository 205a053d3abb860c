// Internal to libdm: the walk over a DM_TABLE_STATUS reply, apart from the
// request so that it can be tested and fuzzed on arbitrary bytes.
#pragma once

#include <string>
#include <vector>

#include "libdm/dm.h"

namespace android {
namespace dm {
namespace internal {

// |reply| is the whole request buffer as the kernel left it: the dm_ioctl
// header at offset 0, the target records from its data_start on. Appends one
// entry per record to |*table| (at most target_count of them), redacting
// crypt keys when |flags| has DM_STATUS_TABLE_FLAG. Whatever the reply
// holds, nothing outside |reply| or past its data_size is read, and the walk
// ends: it stops at the first record that does not fit or does not lead
// forward.
void WalkTableStatusReply(const std::string& reply, unsigned int flags,
                          std::vector<IDeviceMapper::TargetInfo>* table);

}  // namespace internal
}  // namespace dm
}  // namespace android
