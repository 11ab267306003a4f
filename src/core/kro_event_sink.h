#pragma once

#include <windows.h>
#include <comdef.h>
#include <oaidl.h>
#include <ocidl.h>

#include "channel/kro_interfaces.h"

namespace zel::core {

_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));
_COM_SMARTPTR_TYPEDEF(IConnectionPoint, __uuidof(IConnectionPoint));
_COM_SMARTPTR_TYPEDEF(IConnectionPointContainer, __uuidof(IConnectionPointContainer));

// The broker event sink: an IDispatch on _IKroInEvents whose Invoke unpacks the dispatch
// parameters of the two known events by their fixed descriptions and calls the matching virtual
// handler. References (COM's, and one per running event call) go to the derived object's Hold and
// Unhold: with a broker in another process the platform's stubs hold the sink, and may call it or
// let it go after the module has been closed.
class CKroEventSink : public IDispatch {
 public:
  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override {
    Hold();
    return 2;  // the count is the derived object's; COM reads nothing from the value
  }
  STDMETHODIMP_(ULONG) Release() override {
    Unhold();
    return 1;
  }
  // IDispatch
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                      UINT* arg_error) override;
  // Every dispatch id this sink handles has a fixed description, so there is nothing to look up.
  virtual HRESULT GetFuncInfoFromId(REFIID, DISPID, LCID, void*) { return E_NOTIMPL; }

 protected:
  CKroEventSink() = default;
  virtual ~CKroEventSink();
  CKroEventSink(const CKroEventSink&) = delete;
  CKroEventSink& operator=(const CKroEventSink&) = delete;

  // Opens the event connection on `source`'s connection point for _IKroInEvents.
  HRESULT AdviseSource(IUnknown* source);
  // Closes the event connection if it is open, and cuts every remote connection to this sink, so
  // that a source that could not be told (its process gone) holds nothing of it any more; safe to
  // call more than once. The source's failure to unadvise, S_OK otherwise.
  HRESULT UnadviseSource();

  virtual HRESULT OnServiceRequested(BSTR requester, BSTR service, VARIANT* input, VARIANT* output,
                                     LONG* return_code) = 0;
  virtual HRESULT OnBrokerNotify(LONG code, LONG* answer) = 0;

  // Every reference and every running event call: a derived object stays alive while it is held.
  virtual void Hold() {}
  virtual void Unhold() {}

 private:
  IID sink_iid_ = kro::kDiidKroInEvents;
  DWORD cookie_ = 0;
  IConnectionPointPtr connection_point_;
};

}  // namespace zel::core
