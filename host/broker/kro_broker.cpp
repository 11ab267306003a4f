#include "broker/kro_broker.h"

#include <olectl.h>

#include <mutex>

#include "common/scoped_variant.h"

namespace zelhost {
namespace {

std::wstring TextOf(BSTR text) { return std::wstring(text != nullptr ? text : L"", ::SysStringLen(text)); }

std::wstring Lower(std::wstring text) {
  if (!text.empty()) ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

bool IsHandle(const VARIANT* handle, LONG registration) {
  return handle != nullptr && V_VT(handle) == VT_I4 && registration != 0 && V_I4(handle) == registration;
}

// The broker's answers are plain numbers in a VARIANT the caller owns, replacing what it held.
void SetNumber(VARIANT* target, LONG value) {
  zel::ScopedVariant number;
  number.SetLong(value);
  number.ReleaseInto(*target);
}

}  // namespace

BrokerPtr CKroBroker::Create(unsigned worker_threads) { return BrokerPtr(new CKroBroker(worker_threads)); }

CKroBroker::CKroBroker(unsigned worker_threads) : pool_(worker_threads) {}

CKroBroker::~CKroBroker() = default;

IUnknown* CKroBroker::OtherInterface(REFIID iid) {
  std::lock_guard<zel::TkSection> lock(lock_);
  return extension_ != nullptr && iid == extension_iid_ ? extension_ : nullptr;
}

void CKroBroker::SetExtension(const IID& iid, IUnknown* part) {
  std::lock_guard<zel::TkSection> lock(lock_);
  extension_iid_ = iid;
  extension_ = part;
}

STDMETHODIMP CKroBroker::BeginRegistration(VARIANT* handle, LONG) {
  if (handle == nullptr) return E_POINTER;
  std::lock_guard<zel::TkSection> lock(lock_);
  SetNumber(handle, registration_ = registration_ + 1);
  complete_ = false;
  services_.clear();
  return S_OK;
}

STDMETHODIMP CKroBroker::RegisterService(VARIANT* handle, LONG service_id, BSTR service_name, BSTR) {
  std::lock_guard<zel::TkSection> lock(lock_);
  if (!IsHandle(handle, registration_)) return E_INVALIDARG;
  services_[Lower(TextOf(service_name))] = service_id;
  return S_OK;
}

STDMETHODIMP CKroBroker::CompleteRegistration(BSTR, BSTR component_name, VARIANT* handle, VARIANT* answer) {
  if (answer == nullptr) return E_POINTER;
  std::lock_guard<zel::TkSection> lock(lock_);
  if (!IsHandle(handle, registration_)) return E_INVALIDARG;
  SetNumber(answer, 0);
  complete_ = true;
  component_ = TextOf(component_name);
  return S_OK;
}

STDMETHODIMP CKroBroker::Unregister(VARIANT* handle, VARIANT* answer) {
  std::lock_guard<zel::TkSection> lock(lock_);
  if (!IsHandle(handle, registration_)) return E_INVALIDARG;
  ForgetRegistration();
  if (answer != nullptr) SetNumber(answer, 0);
  return S_OK;
}

void CKroBroker::ForgetRegistration() {
  complete_ = false;
  component_.clear();
  services_.clear();
}

STDMETHODIMP CKroBroker::Request(BSTR target, BSTR service, VARIANT parameters, VARIANT* result, LONG,
                                 VARIANT* status) {
  if (result == nullptr || status == nullptr) return E_POINTER;
  std::shared_ptr<SatelliteRouter> router;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    router = router_;
  }
  if (router == nullptr) {
    zel::ScopedVariant().ReleaseInto(*result);
    MakeStatus(-1, status);
    return S_OK;
  }
  try {
    return router->Answer(TextOf(target), TextOf(service), parameters, result, status);
  } catch (...) {
    return E_FAIL;  // nothing escapes into the caller's COM call
  }
}

STDMETHODIMP CKroBroker::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (point == nullptr) return E_POINTER;
  *point = nullptr;
  if (iid != kro::kDiidKroInEvents) return CONNECT_E_NOCONNECTION;
  *point = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP CKroBroker::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = kro::kDiidKroInEvents;
  return S_OK;
}

STDMETHODIMP CKroBroker::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  *container = static_cast<IConnectionPointContainer*>(this);
  AddRef();
  return S_OK;
}

STDMETHODIMP CKroBroker::Advise(IUnknown* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  std::lock_guard<zel::TkSection> lock(lock_);
  if (sink_ != nullptr) return CONNECT_E_ADVISELIMIT;
  IDispatchPtr dispatch;
  if (FAILED(sink->QueryInterface(kro::kDiidKroInEvents, reinterpret_cast<void**>(&dispatch)))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  sink_ = dispatch;
  *cookie = cookie_ = cookie_ + 1;
  return S_OK;
}

STDMETHODIMP CKroBroker::Unadvise(DWORD cookie) {
  IDispatchPtr sink;  // released after the lock, in case the sink calls back while it goes
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (sink_ == nullptr || cookie != cookie_) return CONNECT_E_NOCONNECTION;
    sink.Attach(sink_.Detach());
  }
  return S_OK;
}

IDispatchPtr CKroBroker::Sink() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return sink_;
}

HRESULT CKroBroker::RaiseOnWorker(DISPID id, DISPPARAMS& params) {
  const IDispatchPtr sink = Sink();
  if (sink == nullptr) return CONNECT_E_NOCONNECTION;
  HRESULT hr = E_FAIL;
  pool_.Run([&] { hr = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                                     nullptr); });
  liveness_.AfterCall(sink, hr);
  return hr;
}

void CKroBroker::DropClient() { DropClientOf(Sink()); }

void CKroBroker::DropClientOf(const IDispatchPtr& sink) {
  IDispatchPtr dropped;  // released after the lock: releasing a remote sink is a call of its own
  std::lock_guard<zel::TkSection> lock(lock_);
  if (sink_ != sink) return;  // already dropped, or another client advised since
  dropped.Attach(sink_.Detach());
  ForgetRegistration();
}

HRESULT CKroBroker::Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input,
                            VARIANT* output, LONG* return_code) {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (!complete_ || services_.count(Lower(service)) == 0) return kErrorNotRegistered;
  }
  _bstr_t from(requester.c_str());
  _bstr_t name(service.c_str());
  // Automation order: the last argument first. The input travels by value and stays the caller's.
  VARIANTARG args[5];
  V_VT(&args[4]) = VT_BSTR;
  V_BSTR(&args[4]) = from;
  V_VT(&args[3]) = VT_BSTR;
  V_BSTR(&args[3]) = name;
  args[2] = input;
  V_VT(&args[1]) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&args[1]) = output;
  V_VT(&args[0]) = VT_BYREF | VT_I4;
  V_I4REF(&args[0]) = return_code;
  DISPPARAMS params{args, nullptr, 5, 0};
  return RaiseOnWorker(kro::kDispidOnServiceRequested, params);
}

HRESULT CKroBroker::Notify(LONG code, LONG* answer) {
  VARIANTARG args[2];
  V_VT(&args[1]) = VT_I4;
  V_I4(&args[1]) = code;
  V_VT(&args[0]) = VT_BYREF | VT_I4;
  V_I4REF(&args[0]) = answer;
  DISPPARAMS params{args, nullptr, 2, 0};
  return RaiseOnWorker(kro::kDispidOnBrokerNotify, params);
}

void CKroBroker::SetRouter(std::shared_ptr<SatelliteRouter> router) {
  std::lock_guard<zel::TkSection> lock(lock_);
  router_ = std::move(router);
}

std::wstring CKroBroker::RegisteredComponent() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return component_;
}

size_t CKroBroker::RegisteredServiceCount() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return complete_ ? services_.size() : 0;
}

}  // namespace zelhost
