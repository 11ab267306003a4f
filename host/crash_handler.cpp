#include "crash_handler.h"

#include <dbghelp.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/product_folders.h"
#include "common/text.h"
#include "common/tk_log.h"
#include "common/unique_handle.h"

namespace zelhost {
namespace {

// The host's own log ("zelhost.log", lines with the process id); its FATAL lines also reach the
// shared error log. Made when crash handling is installed, so that a crash has nothing to build.
zel::CTkLog& CrashLog() {
  static zel::CTkLog log(nullptr, true);
  return log;
}

const wchar_t* Describe(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return L"access violation";
    case kRuntimeInvalidParameter: return L"invalid parameter to the runtime library";
    case kRuntimeAbort: return L"abort";
    case EXCEPTION_STACK_OVERFLOW: return L"stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return L"integer division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return L"illegal instruction";
    default: return L"unhandled exception";
  }
}

std::wstring DumpPath() {
  const std::optional<std::wstring> folder = zel::GetProductFolder(zel::ProductFolder::kLogs);
  if (!folder) return {};
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return *folder + zel::FormatWide(L"\\zelhost-%u-%04d%02d%02d-%02d%02d%02d.dmp", ::GetCurrentProcessId(), now.wYear,
                                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
}

bool WriteMinidump(const std::wstring& path, EXCEPTION_POINTERS* info) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
  if (!file) return false;
  // Left to itself the dump writer first loads the symbols of every module, which can take half a
  // minute; the dump needs their names and addresses only.
  ::SymSetOptions(SYMOPT_DEFERRED_LOADS);
  ::SymInitializeW(::GetCurrentProcess(), nullptr, TRUE);
  MINIDUMP_EXCEPTION_INFORMATION exception{::GetCurrentThreadId(), info, FALSE};
  return ::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.Get(), MiniDumpNormal, &exception,
                             nullptr, nullptr) != FALSE;
}

// Set when a report begins. A crash can leave a lock held for good (the process heap's, the
// loader's) that the report then waits for; the watchdog, a thread made before any crash, ends the
// process once the report has had its time.
HANDLE g_report_begun = nullptr;

DWORD WINAPI Watchdog(void*) {
  ::WaitForSingleObject(g_report_begun, INFINITE);
  ::Sleep(kCrashReportLimitMs);
  static const char kGaveUp[] = "zelhost: crashed, and writing the crash down did not end in time\n";
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), kGaveUp, sizeof(kGaveUp) - 1, &written, nullptr);
  ::TerminateProcess(::GetCurrentProcess(), kExitCrashed);
  return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
  // One report per process. The reporting thread crashing again ends the process at once; another
  // thread that crashes meanwhile waits for the reporter, or the watchdog, to end it.
  static LONG reporter = 0;
  const LONG self = static_cast<LONG>(::GetCurrentThreadId());
  const LONG first = ::InterlockedCompareExchange(&reporter, self, 0);
  if (first == self) ::TerminateProcess(::GetCurrentProcess(), kExitCrashed);
  if (first != 0) ::Sleep(INFINITE);
  if (g_report_begun != nullptr) ::SetEvent(g_report_begun);

  const DWORD code = info->ExceptionRecord->ExceptionCode;
  const std::wstring dump = DumpPath();
  CrashLog().Fatal(L"zelhost crashed: exception 0x%08X (%s) at %p on thread %u; minidump %s",
                   static_cast<unsigned>(code), Describe(code), info->ExceptionRecord->ExceptionAddress,
                   static_cast<unsigned>(::GetCurrentThreadId()), dump.c_str());
  if (!WriteMinidump(dump, info)) {
    CrashLog().Fatal(L"zelhost: the minidump %s could not be written (error %u)", dump.c_str(),
                     static_cast<unsigned>(::GetLastError()));
  }
  fprintf(stderr, "zelhost: crashed with exception 0x%08X; see the logs folder for VizOderiv.log and %s\n",
          static_cast<unsigned>(code), zel::WideToUtf8(dump).c_str());
  fflush(stderr);
  // Nothing of the crashed process runs any more: no DLL detach, no atexit handlers.
  ::TerminateProcess(::GetCurrentProcess(), kExitCrashed);
  return EXCEPTION_EXECUTE_HANDLER;
}

// The runtime library's own ways out (its default invalid-parameter handler and abort()) end the
// process without an exception that the filter would see; these turn them into one.
void __cdecl OnInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned, uintptr_t) {
  ::RaiseException(kRuntimeInvalidParameter, EXCEPTION_NONCONTINUABLE, 0, nullptr);
}

void __cdecl OnAbort(int) { ::RaiseException(kRuntimeAbort, EXCEPTION_NONCONTINUABLE, 0, nullptr); }

}  // namespace

void InstallCrashHandling() {
  CrashLog();
  g_report_begun = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_report_begun != nullptr) {
    const zel::UniqueKernelHandle watchdog(::CreateThread(nullptr, 64 * 1024, Watchdog, nullptr, 0, nullptr));
  }
  ::SetUnhandledExceptionFilter(OnUnhandledException);
  _set_invalid_parameter_handler(OnInvalidParameter);
  std::signal(SIGABRT, OnAbort);
  // No error dialogs: a crashed host must end, not wait for someone to click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

}  // namespace zelhost
