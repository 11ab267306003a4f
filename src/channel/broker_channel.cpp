#include "channel/broker_channel.h"

#include <utility>

#include "common/com_checks.h"

namespace zel::channel {
namespace {

// A BSTR of the whole text, embedded NULs included. Throws _com_error when there is no memory.
_bstr_t ToBstr(const std::wstring& text) {
  const BSTR copy = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (copy == nullptr) _com_issue_error(E_OUTOFMEMORY);
  return _bstr_t(copy, false);
}

}  // namespace

LONG BrokerChannel::Reply::Code() const {
  const VARIANT& value = *status;
  // The element type is checked against the array's own descriptor before anything is copied out.
  if ((V_VT(&value) & VT_ARRAY) == 0 || (V_VT(&value) & VT_BYREF) != 0 || V_ARRAY(&value) == nullptr ||
      ::SafeArrayGetDim(V_ARRAY(&value)) != 1) {
    return E_INVALIDARG;
  }
  SAFEARRAY* array = V_ARRAY(&value);
  VARTYPE type = VT_EMPTY;
  HRESULT hr = ::SafeArrayGetVartype(array, &type);
  if (FAILED(hr)) return hr;
  LONG index = 0;
  LONG code = 0;
  if (type == VT_I4) {
    hr = ::SafeArrayGetElement(array, &index, &code);
  } else if (type == VT_VARIANT) {
    ScopedVariant element;
    hr = ::SafeArrayGetElement(array, &index, element.Get());
    if (SUCCEEDED(hr) && element.Type() != VT_I4) hr = DISP_E_TYPEMISMATCH;
    if (SUCCEEDED(hr)) code = V_I4(element.Get());
  } else {
    hr = DISP_E_TYPEMISMATCH;
  }
  return FAILED(hr) ? hr : code;
}

void BrokerChannel::Attach(IKroBrokerPtr broker) {
  {
    auto guard = lock_.Lock();
    std::swap(broker_, broker);
  }
  // The previous pointer is released here, outside the lock: a Release may call back into COM.
}

IKroBrokerPtr BrokerChannel::Broker() const {
  auto guard = lock_.Lock();
  return broker_;
}

BrokerChannel::Reply BrokerChannel::Send(const std::wstring& target, const std::wstring& operation,
                                         const VARIANT& parameters) const {
  // Our own reference: Close may detach the broker while this request is on its way.
  IKroBrokerPtr broker = Broker();
  if (broker == nullptr) _com_issue_error(kNotConnected);
  ScopedVariant copy;
  ZEL_THROW_IF_FAILED(copy.CopyFrom(parameters));
  const _bstr_t target_name = ToBstr(target);
  const _bstr_t operation_name = ToBstr(operation);
  Reply reply;
  ZEL_THROW_IF_FAILED(broker->Request(target_name, operation_name, *copy, reply.result.Get(), 0, reply.status.Get()));
  return reply;
}

}  // namespace zel::channel
