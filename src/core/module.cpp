#include "core/module.h"

#include <utility>

#include "common/module_log.h"
#include "common/unique_handle.h"
#include "core/kro_atl.h"
#include "core/service_table.h"

namespace zel::core {
namespace {

// The module-wide state, one instance for the life of the loaded module.
struct ModuleState {
  // Touched only by the host's thread, in Initialize and Close.
  UniqueKernelHandle startup_event;
  CKroAtl* object = nullptr;
};

ModuleState g_state;

// Close does not wait for event calls still running on the broker's threads, and the last of them,
// or the platform letting go of the sink, ends the module object on such a thread. The host may
// unload the module as soon as Close returns, so the module then stays loaded until the process
// ends: unmapped code under a running thread, or static objects destroyed under it, would fault.
void StayLoaded() {
  HMODULE self = nullptr;
  if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(&StayLoaded), &self)) {
    ModuleLog().Info(L"Requests are still running at Close; the module stays loaded until the process ends");
  }
}

}  // namespace

IKroBrokerPtr CurrentBroker() { return g_state.object != nullptr ? g_state.object->Channel().Broker() : nullptr; }

LONG InitializeModule() {
  CTkLog& log = ModuleLog();
  log.Info(L"=== ZovIdivariRuder starting ===");
  if (g_state.object != nullptr) {
    log.Error(L"Initialize called twice; the module is already running");
    return 0;
  }
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  g_state.startup_event.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  try {
    g_state.object = new CKroAtl();
  } catch (...) {
    g_state.object = nullptr;
  }
  if (g_state.object != nullptr) {
    StartServices(g_state.object->Parts());
    g_state.object->RegisterWithBroker();
  }
  if (g_state.startup_event) ::SetEvent(g_state.startup_event.Get());
  log.Info(L"ZovIdivariRuder started");
  return 0;
}

LONG CloseModule() {
  CTkLog& log = ModuleLog();
  log.Info(L"ZovIdivariRuder exiting");
  if (g_state.object != nullptr) {
    g_state.object->Disconnect();
    // Keys registered while the document could not be written get their last chance here.
    g_state.object->Parts().prefixes.SaveUnsaved();
    StopServices(g_state.object->Parts());
  }
  if (g_state.startup_event) {
    ::WaitForSingleObject(g_state.startup_event.Get(), INFINITE);
    g_state.startup_event.Reset();
  }
  // Whoever else still holds the object (looked at in the same step that lets it go, so that a
  // call arriving in between is not missed) may run module code after Close returns.
  CKroAtl* object = std::exchange(g_state.object, nullptr);
  if (object != nullptr && !object->ReleaseHold()) StayLoaded();
  log.Info(L"=== ZovIdivariRuder exited ===");
  return 0;
}

}  // namespace zel::core
