// One device-mapper request in flight, shared by the request handlers
// (kernel.cpp) and the table code (kernel_table.cpp).
//
// PopulateTable() and CheckDeviceAreas() return 0 or the errno the kernel
// gives; RetrieveStatus() writes the table's records into the reply.
#pragma once

#include <linux/dm-ioctl.h>
#include <stddef.h>

#include <vector>

#include "kernel.h"

namespace fakedm {
namespace internal {

inline constexpr size_t kSpecSize = sizeof(struct dm_target_spec);  // 40

// The kernel's copy of the caller's buffer and what it works on.
struct Call {
  State& state;
  KernelHooks& hooks;
  std::vector<char>& param;
  size_t param_size;  // the request's data_size as it came in
  struct dm_ioctl* io;
};

// populate_table: |c|'s records into |t|.
int PopulateTable(Call& c, Table* t);
// device_area_is_invalid, for every linear target of |t|.
int CheckDeviceAreas(Call& c, const Table& t);
// retrieve_status: |t|'s records (and table lines when asked) into |c|'s
// reply.
void RetrieveStatus(Call& c, const Table& t);

}  // namespace internal
}  // namespace fakedm
