#pragma once

// The media server's side of the broker when the broker runs in its own process (zelbroker.exe):
// the declaration of host/broker_server/zelbroker.idl's IZelBrokerHost, and the type library's id.

#include <windows.h>
#include <comdef.h>
#include <oaidl.h>

namespace zelhost {

// {7455618D-E64B-42C5-B5F7-D507AC88B90D}: ZelBrokerLib, embedded in zelbroker.exe as TYPELIB 1.
// Debian 12's widl writes a library id with 0x0D as its last byte whatever the IDL says; this one
// ends in 0x0D already, so the IDL, this constant and the built library agree.
inline constexpr GUID kLibidZelBroker = {0x7455618d, 0xe64b, 0x42c5, {0xb5, 0xf7, 0xd5, 0x07, 0xac, 0x88, 0xb9, 0x0d}};

}  // namespace zelhost

struct IZelBrokerHost : public IDispatch {
  // Takes the broker for process `process_id` with a satellites script (JSON text; empty: none) and
  // a journal file (empty: none). CONNECT_E_ADVISELIMIT while another live process holds it,
  // CO_E_SERVER_STOPPING when the server is on its way out (activate it again).
  virtual HRESULT STDMETHODCALLTYPE Attach(LONG process_id, BSTR satellites, BSTR journal) = 0;
  // Gives the broker back; the registration and event sink the process left behind are dropped.
  virtual HRESULT STDMETHODCALLTYPE Leave(LONG process_id) = 0;
  // CKroBroker::Deliver across the process boundary.
  virtual HRESULT STDMETHODCALLTYPE Deliver(BSTR requester, BSTR service, VARIANT input, VARIANT* output,
                                            LONG* return_code) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ProcessId(LONG* id) = 0;
  // The number of events the broker raises at once while this process holds it (1 to 256).
  virtual HRESULT STDMETHODCALLTYPE SetWorkers(LONG process_id, LONG count) = 0;
};

// {CBF8B85E-68F1-4EB4-A54A-52A6BD89123F}
__CRT_UUID_DECL(IZelBrokerHost, 0xcbf8b85e, 0x68f1, 0x4eb4, 0xa5, 0x4a, 0x52, 0xa6, 0xbd, 0x89, 0x12, 0x3f)
_COM_SMARTPTR_TYPEDEF(IZelBrokerHost, __uuidof(IZelBrokerHost));
