// Bounded waits for a path to appear or vanish.
//
// The device manager makes and removes device nodes some time after the
// kernel has made or removed a device; these waits poll for that with
// access(F_OK) every 20 ms, testing first at once and giving up at the first
// check after which more than |timeout| whole milliseconds have passed (a
// timeout of 0 or below tests once and gives up after one interval). An
// unexpected error from access (anything but ENOENT) logs
// "access failed: <path>: <error>" and ends the wait with false at once; a
// time-out itself logs nothing. Symbolic links are followed.
#pragma once

#include <chrono>
#include <string>

namespace android {
namespace dm {

// True as soon as |path| exists.
bool WaitForFile(const std::string& path,
                 const std::chrono::milliseconds& timeout);

// True as soon as |path| no longer exists.
bool WaitForFileDeleted(const std::string& path,
                        const std::chrono::milliseconds& timeout);

}  // namespace dm
}  // namespace android
