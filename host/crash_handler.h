#pragma once

#include <windows.h>

namespace zelhost {

// Exit status of a host that crashed (the crash was written down first, or given up on after
// kCrashReportLimitMs when writing it down hung).
constexpr int kExitCrashed = 4;
constexpr DWORD kCrashReportLimitMs = 30000;

// Exception codes the host raises for faults that the runtime library detects, so that they take
// the same way as a processor fault instead of ending the process quietly.
constexpr DWORD kRuntimeInvalidParameter = 0xC0000417;  // STATUS_INVALID_CRUNTIME_PARAMETER
constexpr DWORD kRuntimeAbort = 0x40000015;             // STATUS_FATAL_APP_EXIT

// Installs the host's crash handling for the whole process: an unhandled exception on any thread
// (and an invalid parameter handed to the runtime library, or abort()) writes a FATAL line to the
// host's log and to the shared error log "VizOderiv.log", writes a minidump into the logs folder
// (<all-users application data>\RodEzeduduv\Logs\zelhost-<process id>-<time>.dmp), and ends the
// process with kExitCrashed. Call once, first thing: it makes the thread that ends a report that
// hangs.
void InstallCrashHandling();

}  // namespace zelhost
