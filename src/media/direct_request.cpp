#include "media/direct_request.h"

#include <comdef.h>
#include <olectl.h>

#include <new>

#include "core/module.h"

namespace zel::media {
namespace {

// A BSTR of the whole text, embedded nulls included; empty on allocation failure.
_bstr_t ToBstr(const std::wstring& text) {
  return _bstr_t(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())), false);
}

}  // namespace

HRESULT SendBrokerRequest(const std::wstring& target, const std::wstring& service, const VARIANT& parameters,
                          ScopedVariant* result, ScopedVariant* status) {
  result->Reset();
  status->Reset();
  // Our own reference: Close may drop the module's while this request is still on its way.
  IKroBrokerPtr broker = CurrentBroker();
  if (broker == nullptr) return kNoBrokerConnection;
  try {
    ScopedVariant copy;
    HRESULT hr = copy.CopyFrom(parameters);
    if (FAILED(hr)) return hr;
    _bstr_t target_name = ToBstr(target);
    _bstr_t service_name = ToBstr(service);
    if (!target_name || !service_name) return E_OUTOFMEMORY;
    return broker->Request(target_name, service_name, *copy, result->Get(), 0, status->Get());
  } catch (const _com_error& error) {  // _bstr_t reports a failed allocation this way
    return error.Error();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace zel::media
