// The kernel log as a second home for every line the program and its
// library log. init starts quillmap in early boot, where no log daemon can
// be relied on, and recovery runs none at all; the kernel log is there from
// the first instant in both. Each line becomes one record
// "<level>tag: text", with the text as stderr shows it (a library line
// starts with "file:line] "), and still goes where it went before.
//
// Contract: every record opens the node, writes once and closes it. The
// kernel rate-limits writes to /dev/kmsg per open file (a burst of 10, then
// 5 s of silence, and the write still reports success), so a descriptor kept
// open, or one handed over by init, would lose the lines of a long run; a
// fresh open per record never reaches the burst. A record the node refuses,
// or a node that cannot be opened, is dropped without a word (the line's
// other copy is still written). errno is never changed.
#pragma once

#include <android-base/logging.h>

namespace quillmap {

inline constexpr char kKernelLogPath[] = "/dev/kmsg";

// Writes one record to the kernel log node |path|: "<level>" for
// |severity|, "|tag|: ", "|file|:|line|] " when |file| is not nullptr (its
// last path component), |message|, a newline. A record longer than older
// kernels accept is cut to fit.
void WriteKernelRecord(const char* path, android::base::LogSeverity severity,
                       const char* tag, const char* file, unsigned int line,
                       const char* message);

// A base-library logger that writes each record to |path| and then hands
// it, unchanged, to |next|.
android::base::LogFunction AlsoToKernelLog(const char* path,
                                           android::base::LogFunction next);

// Sends the lines of both log libraries to kKernelLogPath as well as to
// their default place: the log daemon on a device, stderr elsewhere.
void LogToKernelToo();

// The log library's half of LogToKernelToo: liblog_kernel.cpp, or
// liblog_kernel_none.cpp where the log library has no logger hook.
void LiblogToKernelToo();

}  // namespace quillmap
