#pragma once

#include <windows.h>

#include <string>

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

}  // namespace zelhost
