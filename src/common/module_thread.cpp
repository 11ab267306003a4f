#include "common/module_thread.h"

#include <windows.h>
#include <process.h>

#include <memory>

namespace zel {
namespace {

struct ThreadStart {
  std::function<void()> body;
  HMODULE module = nullptr;
};

unsigned __stdcall ThreadMain(void* argument) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
  try {
    start->body();
  } catch (...) {
    // Nothing may end the process from a background thread.
  }
  const HMODULE module = start->module;
  start.reset();
  if (module != nullptr) ::FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

UniqueKernelHandle StartModuleThread(std::function<void()> body, unsigned stack_reserve) {
  auto start = std::make_unique<ThreadStart>();
  start->body = std::move(body);
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ThreadMain),
                       &start->module);
  const uintptr_t thread = _beginthreadex(nullptr, stack_reserve, ThreadMain, start.get(),
                                         stack_reserve != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (thread == 0) {
    if (start->module != nullptr) ::FreeLibrary(start->module);
    return UniqueKernelHandle();
  }
  start.release();  // the thread owns it now
  return UniqueKernelHandle(reinterpret_cast<HANDLE>(thread));
}

}  // namespace zel
