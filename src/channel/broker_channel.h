#pragma once

#include <windows.h>
#include <comdef.h>
#include <winerror.h>

#include <string>

#include "common/scoped_variant.h"
#include "common/tk_section.h"
#include "channel/kro_interfaces.h"

_COM_SMARTPTR_TYPEDEF(IKroBroker, __uuidof(IKroBroker));

namespace zel::channel {

// The one way a request leaves the module for another component: through the broker's request
// operation, on the calling thread. The module object attaches the broker when its event connection
// opens and detaches it at Close; a request on its way keeps its own reference meanwhile.
//
// Every failure of the broker call itself takes one form: _com_error with the HRESULT. Services
// let it pass to the dispatcher, which turns it into the return code and the WARN line
// "<service>: broker call failed, hr = 0x..."; the few whose rules answer such a failure
// themselves (category totals, grouped requests, the extension lists) catch it.
class BrokerChannel {
 public:
  // The failure of a request sent while the module holds no broker connection.
  static constexpr HRESULT kNotConnected = CO_E_OBJNOTCONNECTED;

  // What the broker hands back for one request.
  struct Reply {
    ScopedVariant result;  // the satellite's answer, as a rule an array of VARIANT
    ScopedVariant status;  // an array whose element 0 is the satellite's return code

    // Element 0 of the status as a 32-bit integer (from an array of VT_I4, or of VARIANT holding
    // a VT_I4); the failure of that read as an HRESULT otherwise.
    LONG Code() const;
  };

  BrokerChannel() = default;
  BrokerChannel(const BrokerChannel&) = delete;
  BrokerChannel& operator=(const BrokerChannel&) = delete;

  void Attach(IKroBrokerPtr broker);
  void Detach() { Attach(nullptr); }
  // The attached broker (our own reference), or null.
  IKroBrokerPtr Broker() const;

  // Sends `operation` to `target` with a copy of `parameters` (the caller keeps its own). Throws
  // _com_error when there is no connection (kNotConnected) or the broker's request fails.
  Reply Send(const std::wstring& target, const std::wstring& operation, const VARIANT& parameters) const;

 private:
  mutable TkSection lock_;  // guards broker_: attached on the host's thread, read on broker threads
  IKroBrokerPtr broker_;
};

}  // namespace zel::channel
