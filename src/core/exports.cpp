// The two functions the media server's host calls. Names are exported undecorated through
// ZovIdivariRuder.def.

#include <windows.h>

#include "core/module.h"

extern "C" LONG Initialize() { return zel::core::InitializeModule(); }

extern "C" LONG Close() { return zel::core::CloseModule(); }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
  return TRUE;
}
