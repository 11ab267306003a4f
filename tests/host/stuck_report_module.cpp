// A module for the host's crash tests: its Initialize crashes while another thread holds the
// process heap's lock for good, as a crash inside the heap can leave it. Writing the crash down
// then waits on that lock for ever.

#include <windows.h>

namespace {

DWORD WINAPI HoldTheHeap(void* held) {
  ::HeapLock(::GetProcessHeap());
  ::SetEvent(static_cast<HANDLE>(held));
  ::Sleep(INFINITE);
  return 0;
}

}  // namespace

extern "C" __declspec(dllexport) LONG Initialize() {
  const HANDLE held = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::CloseHandle(::CreateThread(nullptr, 0, HoldTheHeap, held, 0, nullptr));
  ::WaitForSingleObject(held, INFINITE);
  *static_cast<volatile int*>(nullptr) = 1;
  return 0;
}

extern "C" __declspec(dllexport) LONG Close() { return 0; }
