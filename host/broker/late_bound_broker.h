#pragma once

#include <windows.h>
#include <comdef.h>
#include <ocidl.h>

#include "channel/kro_interfaces.h"
#include "common/com_object.h"
#include "common/tk_section.h"

_COM_SMARTPTR_TYPEDEF(ITypeInfo, __uuidof(ITypeInfo));

namespace zelhost {

// What every broker object is to COM: IKroBroker and its connection point interfaces, with
// IDispatch for late-bound clients described by the type library embedded in zelbroker.exe
// beside the program (TYPE_E_CANTLOADLIBRARY without it). Invoke reaches the derived object's own
// IKroBroker operations.
class LateBoundBroker : public zel::ComObject<IKroBroker, IConnectionPointContainer, IConnectionPoint> {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* bad_argument) override;

 private:
  // IKroBroker's vtable description, loaded on first use; null when the library cannot be loaded.
  ITypeInfo* TypeInfo();

  zel::TkSection type_lock_;
  ITypeInfoPtr type_info_;
};

}  // namespace zelhost
