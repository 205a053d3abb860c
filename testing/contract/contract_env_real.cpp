// The contract suite's environment in a guest with a real device-mapper: the
// runner attached the disks and runs the device manager; nothing to prepare.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "contract_fixture.h"

namespace contract {

bool IsRealKernel() { return true; }

std::string DeviceNumberOf(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
  return std::to_string(major(st.st_rdev)) + ":" +
         std::to_string(minor(st.st_rdev));
}

std::string InspectPath(const std::string& path) { return path; }

}  // namespace contract
