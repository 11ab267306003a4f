// "my-ZEL_TailLog" of the last 5,000,000 bytes of a 1 GiB log against the same of a 10 MiB log,
// through the broker, in interleaved rounds. Target: at most 2 times: the tail is found by seeking, so
// the size of the log before it must not matter.
//
// The large log is sparse up to its last 16 MiB of text lines, so that it costs neither disk space
// nor time to make; both logs are removed at the end.

#include <windows.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "host_session.h"
#include "module_client.h"

namespace {

constexpr LONGLONG kLargeLog = 1LL << 30;
constexpr LONGLONG kSmallLog = 10LL << 20;
constexpr LONGLONG kWrittenTail = 16LL << 20;

// A file of `size` bytes whose last `written` bytes are log lines (the rest a hole).
bool MakeLog(const std::wstring& path, LONGLONG size, LONGLONG written) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  LARGE_INTEGER start;
  start.QuadPart = size - written;
  if (!::SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.Get())) return false;
  std::string block;
  for (int line = 0; block.size() < (1 << 20); ++line) {
    block += "2024/06/07 12:00:00.00 [INFO] - request " + std::to_string(line) + " answered\n";
  }
  block.resize(1 << 20);
  DWORD done = 0;
  for (LONGLONG at = 0; at < written; at += static_cast<LONGLONG>(block.size())) {
    if (!::WriteFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &done, nullptr)) return false;
  }
  return true;
}

// Milliseconds of one tail through the broker; negative when the service fails.
double Tail(const zelhost::ModuleClient& module, const std::wstring& path) {
  const double start = zelbench::Now();
  const zelhost::ModuleAnswer<zelhost::LogTail> tail = module.TailLog(path, 5000000);
  const double elapsed = (zelbench::Now() - start) * 1000;
  if (!tail.value || tail.value->length < 4900000) {
    std::fprintf(stderr, "my-ZEL_TailLog failed: %ld, %ld bytes\n", static_cast<long>(tail.rc),
                 tail.value ? static_cast<long>(tail.value->length) : -1L);
    return -1;
  }
  return elapsed;
}

}  // namespace

int main() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  const std::wstring large = zelbench::TempPath(L"zel-taillog-bench-1g.log");
  const std::wstring small = zelbench::TempPath(L"zel-taillog-bench-10m.log");
  int status = 1;
  if (MakeLog(large, kLargeLog, kWrittenTail) && MakeLog(small, kSmallLog, kSmallLog)) {
    zelhost::HostSession session(zelhost::HostOptions{});
    const zelhost::ModuleClient module(session, L"bench");
    if (Tail(module, large) >= 0 && Tail(module, small) >= 0) {  // warms the page cache for both
      const zelbench::Paired paired = zelbench::Interleave([&] { return Tail(module, large); },
                                                           [&] { return Tail(module, small); }, 2 * zelbench::kPairs);
      zelbench::Judge("my-ZEL_TailLog 5,000,000 bytes of a 1 GiB log", paired, "ms", "(of a 10 MiB log)",
                      zelbench::AtMost(2));
      status = paired.ok ? 0 : 1;
    }
  } else {
    std::fprintf(stderr, "could not write the logs to %ls\n", zelbench::TempPath(L"").c_str());
  }
  ::DeleteFileW(large.c_str());
  ::DeleteFileW(small.c_str());
  return status;
}
