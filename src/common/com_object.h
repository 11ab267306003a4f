#pragma once

#include <windows.h>
#include <unknwn.h>

#include <initializer_list>

namespace zel {

// One interface a COM object answers for, and the pointer it answers with.
struct InterfaceEntry {
  const IID& iid;
  IUnknown* object;  // the object seen through that interface
};

// The one QueryInterface of our COM objects (the module's event sink, the host's broker and class
// factory, test and benchmark doubles), in the manner of ATL's interface maps: the first entry
// whose IID matches is AddRef'd and handed out; null and E_NOINTERFACE otherwise.
inline HRESULT QueryInterfaceOf(std::initializer_list<InterfaceEntry> interfaces, REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  for (const InterfaceEntry& entry : interfaces) {
    if (::IsEqualIID(iid, entry.iid)) {
      entry.object->AddRef();
      *object = entry.object;
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

}  // namespace zel
