// zelbroker: the broker as a local COM server, started by COM ("zelbroker.exe -Embedding") when a
// client creates the broker class and none is running.
//
//   zelbroker /regserver     registers LocalServer32 and the embedded type library, then ends
//   zelbroker /unregserver   removes them
//   zelbroker -Embedding     serves (what COM runs); ends once idle
//
// Exit status: 0 done, 1 failed, 2 usage.

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "broker/broker_registration.h"
#include "broker_server/broker_server.h"

namespace {

constexpr DWORD kIdleMs = 3000;  // lets the next host of a test run reuse a running broker

// COM starts the server with the handles of whichever client activated it; a pipe on that client's
// standard output would not close while the server lives, so the server lets them go.
void LetGoOfStandardHandles() {
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    const HANDLE handle = ::GetStdHandle(which);
    ::SetStdHandle(which, nullptr);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
  std::freopen("NUL", "r", stdin);
  std::freopen("NUL", "w", stdout);
  std::freopen("NUL", "w", stderr);
}

bool Is(const std::wstring& arg, const wchar_t* word) {
  return arg.size() > 1 && (arg[0] == L'/' || arg[0] == L'-') && ::lstrcmpiW(arg.c_str() + 1, word) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring arg = argc == 2 ? argv[1] : L"";
  if (Is(arg, L"regserver") || Is(arg, L"unregserver")) {
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const HRESULT hr = Is(arg, L"regserver") ? zelhost::RegisterBrokerServer(zelhost::BrokerServerBesideProgram())
                                             : zelhost::UnregisterBrokerServer();
    if (FAILED(hr)) std::fprintf(stderr, "zelbroker: failed: 0x%08lX\n", static_cast<unsigned long>(hr));
    ::CoUninitialize();
    return FAILED(hr) ? 1 : 0;
  }
  if (!Is(arg, L"Embedding")) {
    std::fprintf(stderr, "usage: zelbroker /regserver | /unregserver | -Embedding\n");
    return 2;
  }
  LetGoOfStandardHandles();
  // The broker raises its events from worker threads: only the multithreaded apartment allows that.
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int status = 0;
  {
    zelhost::BrokerServer server(8, kIdleMs);
    status = server.Run();
  }
  ::CoUninitialize();
  return status;
}
