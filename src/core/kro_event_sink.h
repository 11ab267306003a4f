#pragma once

#include <windows.h>
#include <comdef.h>
#include <oaidl.h>
#include <ocidl.h>

#include "core/kro_interfaces.h"

namespace zel::core {

_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));
_COM_SMARTPTR_TYPEDEF(IConnectionPoint, __uuidof(IConnectionPoint));
_COM_SMARTPTR_TYPEDEF(IConnectionPointContainer, __uuidof(IConnectionPointContainer));

// The broker event sink: an IDispatch on _IKroInEvents whose Invoke unpacks the dispatch
// parameters of the two known events by their fixed descriptions and calls the matching virtual
// handler. The object is owned by the module, so AddRef and Release count nothing.
class CKroEventSink : public IDispatch {
 public:
  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 1; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
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
  // Closes the event connection if it is open; safe to call more than once.
  void UnadviseSource();

  virtual HRESULT OnServiceRequested(BSTR requester, BSTR service, VARIANT* input, VARIANT* output,
                                     LONG* return_code) = 0;
  virtual HRESULT OnBrokerNotify(LONG code, LONG* answer) = 0;

  // Bracket every event call, so that a derived object can stay alive while a call is running.
  virtual void BeginCall() {}
  virtual void EndCall() {}

 private:
  IID sink_iid_ = kro::kDiidKroInEvents;
  DWORD cookie_ = 0;
  IConnectionPointPtr connection_point_;
};

}  // namespace zel::core
