#pragma once

#include <windows.h>
#include <comdef.h>
#include <oaidl.h>
#include <ocidl.h>

#include "channel/kro_interfaces.h"
#include "common/com_object.h"

namespace zel::core {

_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));
_COM_SMARTPTR_TYPEDEF(IConnectionPoint, __uuidof(IConnectionPoint));
_COM_SMARTPTR_TYPEDEF(IConnectionPointContainer, __uuidof(IConnectionPointContainer));

// The broker event sink: an IDispatch on _IKroInEvents whose Invoke unpacks the dispatch
// parameters of the two known events by their fixed descriptions and calls the matching virtual
// handler. Every running event call holds a reference of its own: with a broker in another process
// the platform's stubs hold the sink, and may call it or let it go after the module has been
// closed, so the last reference, whoever holds it, ends the object.
class CKroEventSink : public ComObject<IDispatch> {
 public:
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
  ~CKroEventSink() override;

  // The events' dispatch interface, known by its IID alone.
  IUnknown* OtherInterface(REFIID iid) override {
    return ::IsEqualIID(iid, sink_iid_) ? static_cast<IDispatch*>(this) : nullptr;
  }

  // Opens the event connection on `source`'s connection point for _IKroInEvents.
  HRESULT AdviseSource(IUnknown* source);
  // Closes the event connection if it is open, and cuts every remote connection to this sink, so
  // that a source that could not be told (its process gone) holds nothing of it any more; safe to
  // call more than once. The source's failure to unadvise, S_OK otherwise.
  HRESULT UnadviseSource();

  virtual HRESULT OnServiceRequested(BSTR requester, BSTR service, VARIANT* input, VARIANT* output,
                                     LONG* return_code) = 0;
  virtual HRESULT OnBrokerNotify(LONG code, LONG* answer) = 0;

 private:
  IID sink_iid_ = kro::kDiidKroInEvents;
  DWORD cookie_ = 0;
  IConnectionPointPtr connection_point_;
};

}  // namespace zel::core
