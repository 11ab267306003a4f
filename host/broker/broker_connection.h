#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>

#include "host_options.h"

struct IZelBrokerHost;

namespace zelhost {

class CKroBroker;

// The host's one way to the broker, wherever the broker lives; chosen once, when the session
// starts, and held until the module is closed. Setting one up registers the broker class so that
// the module's own creation call finds it; destroying it undoes that.
class BrokerConnection {
 public:
  virtual ~BrokerConnection() = default;

  // Raises OnServiceRequested at the module and waits for it: S_OK once the module has answered,
  // kErrorNotRegistered (kro_broker.h) for a service it has not registered, the platform's RPC
  // errors when the broker's process is gone. `*return_code` goes in as the broker's initial value.
  virtual HRESULT Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input,
                          VARIANT* output, LONG* return_code) = 0;
  // The broker object when it lives in this process; null when it runs in another.
  virtual CKroBroker* Embedded() = 0;
};

// A broker in this process, with the satellites of `options` and their journal. Throws JsonError
// for an unusable satellites file, HostError for anything else.
std::unique_ptr<BrokerConnection> StartEmbeddedBroker(const HostOptions& options);
// The broker in zelbroker.exe, started or shared, held for this process. Throws as above.
std::unique_ptr<BrokerConnection> ConnectLocalServerBroker(const HostOptions& options);
// Attaches this process to the broker in zelbroker.exe with `satellites` (a script's JSON text,
// empty: none) and `journal` (a full path, empty: none), holding the server before either is
// carried across, however long that takes. Attach's HRESULT; on failure this process is not attached.
HRESULT ClaimAndAttach(IZelBrokerHost* host, const std::wstring& satellites, const std::wstring& journal);

}  // namespace zelhost
