// quillmap: exposes the boot regions of the device's boot storage as
// device-mapper devices "preloader_raw_a" and "preloader_raw_b". Takes no
// arguments; logs each candidate's outcome; exits 0 (unless the library's
// fatal check on an impossible kernel reply ends the process first). Every
// line goes to the kernel log as well as to the log libraries' default.
#include <libdm/dm.h>

#include "boot_region.h"
#include "kernel_log.h"

int main(int /*argc*/, char** /*argv*/) {
  quillmap::LogToKernelToo();
  quillmap::MapBootRegions({quillmap::kBootRegionCandidates.begin(),
                            quillmap::kBootRegionCandidates.end()},
                           []() -> android::dm::IDeviceMapper& {
                             return android::dm::DeviceMapper::Instance();
                           });
  return 0;
}
