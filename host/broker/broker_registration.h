#pragma once

#include <windows.h>

#include <objbase.h>

#include <string>

#include "common/com_object.h"

namespace zelhost {

// Makes the broker class activatable out of process: LocalServer32 under
// HKLM\Software\Classes\CLSID\{broker} names `server_path` (zelbroker.exe), and the type library
// embedded in it is registered, which gives every interface of the contract the type-library
// marshaler as its proxy. Idempotent.
HRESULT RegisterBrokerServer(const std::wstring& server_path);
// Removes what RegisterBrokerServer wrote.
HRESULT UnregisterBrokerServer();

// zelbroker.exe beside the running program.
std::wstring BrokerServerBesideProgram();

// Registers a class object for the broker class (CoRegisterClassObject), so that the module's
// CoCreateInstance finds `broker`, which every client then shares; revokes it when destroyed.
// `context`: CLSCTX_INPROC_SERVER for this process alone (a local-server entry of a process that
// crashes would stay in the platform's table and send other processes' activations to the dead
// process), CLSCTX_LOCAL_SERVER for zelbroker.exe.
class BrokerClassRegistration {
 public:
  explicit BrokerClassRegistration(IUnknown* broker, DWORD context = CLSCTX_INPROC_SERVER);
  ~BrokerClassRegistration();
  BrokerClassRegistration(const BrokerClassRegistration&) = delete;
  BrokerClassRegistration& operator=(const BrokerClassRegistration&) = delete;
  HRESULT Result() const { return hr_; }

 private:
  zel::ComOwner<IClassFactory> factory_;
  DWORD cookie_ = 0;
  HRESULT hr_ = E_FAIL;
};

}  // namespace zelhost
