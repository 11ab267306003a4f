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
  StartServices();
  g_state.startup_event.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  try {
    g_state.object = new CKroAtl();
  } catch (...) {
    g_state.object = nullptr;
  }
  if (g_state.object != nullptr) g_state.object->RegisterWithBroker();
  if (g_state.startup_event) ::SetEvent(g_state.startup_event.Get());
  log.Info(L"ZovIdivariRuder started");
  return 0;
}

LONG CloseModule() {
  CTkLog& log = ModuleLog();
  log.Info(L"ZovIdivariRuder exiting");
  if (g_state.object != nullptr) g_state.object->Disconnect();
  StopServices();
  if (g_state.startup_event) {
    ::WaitForSingleObject(g_state.startup_event.Get(), INFINITE);
    g_state.startup_event.Reset();
  }
  if (CKroAtl* object = std::exchange(g_state.object, nullptr)) object->ReleaseHold();
  log.Info(L"=== ZovIdivariRuder exited ===");
  return 0;
}

}  // namespace zel::core
