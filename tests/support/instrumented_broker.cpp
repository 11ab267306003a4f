#include "support/instrumented_broker.h"

#include <olectl.h>

#include <mutex>

#include "common/scoped_variant.h"

namespace zeltest {
namespace {

std::wstring TextOf(BSTR text) { return std::wstring(text != nullptr ? text : L"", ::SysStringLen(text)); }

}  // namespace

void InstrumentedBroker::Record(std::wstring operation) {
  std::lock_guard<zel::TkSection> lock(lock_);
  operations_.push_back(std::move(operation));
}

std::vector<std::wstring> InstrumentedBroker::Operations() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return operations_;
}

STDMETHODIMP InstrumentedBroker::BeginRegistration(VARIANT* handle, LONG service_count) {
  Record(L"BeginRegistration " + std::to_wstring(service_count));
  if (faults_.fail_begin) return faults_.failure;
  return broker_->BeginRegistration(handle, service_count);
}

STDMETHODIMP InstrumentedBroker::RegisterService(VARIANT* handle, LONG service_id, BSTR service_name,
                                                 BSTR display_name) {
  Record(L"RegisterService " + std::to_wstring(service_id) + L" " + TextOf(service_name) + L" " +
         TextOf(display_name));
  bool fail = false;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    fail = ++register_calls_ == faults_.fail_register_call;
  }
  if (fail) return faults_.failure;
  return broker_->RegisterService(handle, service_id, service_name, display_name);
}

// A refused completion never reaches the broker, which therefore keeps the registration open.
STDMETHODIMP InstrumentedBroker::CompleteRegistration(BSTR host_name, BSTR component_name, VARIANT* handle,
                                                      VARIANT* answer) {
  Record(L"CompleteRegistration " + TextOf(host_name) + L" " + TextOf(component_name));
  if (faults_.complete_answer == 0 || answer == nullptr) {
    return broker_->CompleteRegistration(host_name, component_name, handle, answer);
  }
  zel::ScopedVariant refusal;
  refusal.SetLong(faults_.complete_answer);
  refusal.ReleaseInto(*answer);
  return S_OK;
}

STDMETHODIMP InstrumentedBroker::Unregister(VARIANT* handle, VARIANT* answer) {
  Record(L"Unregister");
  return broker_->Unregister(handle, answer);
}

STDMETHODIMP InstrumentedBroker::Detach() {
  Record(L"Detach");
  return broker_->Detach();
}

STDMETHODIMP InstrumentedBroker::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (iid != kro::kDiidKroInEvents) return CONNECT_E_NOCONNECTION;
  *point = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP InstrumentedBroker::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  *container = static_cast<IConnectionPointContainer*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP InstrumentedBroker::Advise(IUnknown* sink, DWORD* cookie) {
  Record(L"Advise");
  if (faults_.fail_advise) return CONNECT_E_CANNOTCONNECT;
  return broker_->Advise(sink, cookie);
}

STDMETHODIMP InstrumentedBroker::Unadvise(DWORD cookie) {
  Record(L"Unadvise");
  return broker_->Unadvise(cookie);
}

}  // namespace zeltest
