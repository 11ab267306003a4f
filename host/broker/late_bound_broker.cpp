#include "broker/late_bound_broker.h"

#include <mutex>

#include "broker/broker_registration.h"

_COM_SMARTPTR_TYPEDEF(ITypeLib, __uuidof(ITypeLib));

namespace zelhost {

ITypeInfo* LateBoundBroker::TypeInfo() {
  std::lock_guard<zel::TkSection> lock(type_lock_);
  if (type_info_ == nullptr) {
    ITypeLibPtr library;
    ITypeInfoPtr dual;
    HREFTYPE vtable_half = 0;
    // The dual interface's dispatch half describes no vtable; DispInvoke needs the interface half.
    if (SUCCEEDED(::LoadTypeLibEx(BrokerServerBesideProgram().c_str(), REGKIND_NONE, &library)) &&
        SUCCEEDED(library->GetTypeInfoOfGuid(__uuidof(IKroBroker), &dual)) &&
        SUCCEEDED(dual->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_half))) {
      dual->GetRefTypeInfo(vtable_half, &type_info_);
    }
  }
  return type_info_;
}

STDMETHODIMP LateBoundBroker::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = TypeInfo() != nullptr ? 1 : 0;
  return S_OK;
}

STDMETHODIMP LateBoundBroker::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ITypeInfo* described = TypeInfo();
  if (described == nullptr) return TYPE_E_CANTLOADLIBRARY;
  described->AddRef();
  *info = described;
  return S_OK;
}

STDMETHODIMP LateBoundBroker::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* described = TypeInfo();
  if (described == nullptr) return TYPE_E_CANTLOADLIBRARY;
  return ::DispGetIDsOfNames(described, names, count, ids);
}

STDMETHODIMP LateBoundBroker::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* exception, UINT* bad_argument) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* described = TypeInfo();
  if (described == nullptr) return TYPE_E_CANTLOADLIBRARY;
  return ::DispInvoke(static_cast<IKroBroker*>(this), described, id, flags, params, result, exception, bad_argument);
}

}  // namespace zelhost
