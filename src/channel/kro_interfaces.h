#pragma once

// The broker's COM contract, shared by the module and by the standalone host's embedded broker:
// the broker class, its dual interface and the event interface on which it raises requests.

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

namespace kro {

// {6C798FB5-A392-4470-B0BD-BC7498FFB796}
inline constexpr CLSID kClsidKroBroker = {0x6c798fb5, 0xa392, 0x4470, {0xb0, 0xbd, 0xbc, 0x74, 0x98, 0xff, 0xb7, 0x96}};
// {5729DEE7-3D8E-4623-958E-6D9BED2FD534}: the dispatch interface _IKroInEvents.
inline constexpr IID kDiidKroInEvents = {0x5729dee7, 0x3d8e, 0x4623, {0x95, 0x8e, 0x6d, 0x9b, 0xed, 0x2f, 0xd5, 0x34}};

// Dispatch ids of _IKroInEvents.
constexpr DISPID kDispidOnServiceRequested = 1;  // (BSTR requester, BSTR service, VARIANT input,
                                                 //  VARIANT* output, LONG* return code)
constexpr DISPID kDispidOnBrokerNotify = 2;      // (LONG code, LONG* answer): acknowledged only

}  // namespace kro

// The broker's dual interface. The operations stand in this order after IDispatch's.
struct IKroBroker : public IDispatch {
  // Opens a registration; the broker fills `handle`, which every later registration call passes.
  virtual HRESULT STDMETHODCALLTYPE BeginRegistration(VARIANT* handle, LONG service_count) = 0;
  virtual HRESULT STDMETHODCALLTYPE RegisterService(VARIANT* handle, LONG service_id, BSTR service_name,
                                                    BSTR display_name) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unregister(VARIANT* handle, VARIANT* answer) = 0;
  // Sends `service` to `target` (a component name, or "Any" to let the broker choose). On success
  // `status` holds an array whose element 0 is the serving component's return code and `result` an
  // array of VARIANT whose element 0 is its answer. The caller owns `parameters`.
  virtual HRESULT STDMETHODCALLTYPE Request(BSTR target, BSTR service, VARIANT parameters, VARIANT* result,
                                            LONG reserved, VARIANT* status) = 0;
  // Ends the registration; the answer's value is 0 when the component is registered.
  virtual HRESULT STDMETHODCALLTYPE CompleteRegistration(BSTR host_name, BSTR component_name, VARIANT* handle,
                                                         VARIANT* answer) = 0;
  virtual HRESULT STDMETHODCALLTYPE Detach() = 0;
};

// {BFA20197-DE80-4652-9CB1-5E2DE211831F}
__CRT_UUID_DECL(IKroBroker, 0xbfa20197, 0xde80, 0x4652, 0x9c, 0xb1, 0x5e, 0x2d, 0xe2, 0x11, 0x83, 0x1f)
