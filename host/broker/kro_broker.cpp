#include "broker/kro_broker.h"

#include <olectl.h>

#include "broker/broker_registration.h"
#include "common/com_object.h"
#include "common/scoped_variant.h"

_COM_SMARTPTR_TYPEDEF(ITypeLib, __uuidof(ITypeLib));

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

class BrokerFactory final : public IClassFactory {
 public:
  explicit BrokerFactory(CKroBroker* broker) : broker_(broker) { broker_->AddRef(); }

  STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
    return zel::QueryInterfaceOf({{IID_IUnknown, this}, {IID_IClassFactory, this}}, iid, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return broker_->QueryInterface(iid, object);  // every client shares the one broker
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  ~BrokerFactory() { broker_->Release(); }
  std::atomic<ULONG> references_{1};
  CKroBroker* broker_;
};

}  // namespace

BrokerPtr CKroBroker::Create(unsigned worker_threads) { return BrokerPtr(new CKroBroker(worker_threads)); }

CKroBroker::CKroBroker(unsigned worker_threads) : pool_(worker_threads) {}

CKroBroker::~CKroBroker() = default;

STDMETHODIMP CKroBroker::QueryInterface(REFIID iid, void** object) {
  if (IUnknown* part = Extension(iid)) return part->QueryInterface(iid, object);
  IKroBroker* broker = this;
  return zel::QueryInterfaceOf({{IID_IUnknown, broker},
                                {IID_IDispatch, broker},
                                {__uuidof(IKroBroker), broker},
                                {IID_IConnectionPointContainer, static_cast<IConnectionPointContainer*>(this)},
                                {IID_IConnectionPoint, static_cast<IConnectionPoint*>(this)}},
                               iid, object);
}

IUnknown* CKroBroker::Extension(const IID& iid) const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return extension_ != nullptr && iid == extension_iid_ ? extension_ : nullptr;
}

ITypeInfo* CKroBroker::TypeInfo() {
  std::lock_guard<zel::TkSection> lock(lock_);
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

STDMETHODIMP CKroBroker::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = TypeInfo() != nullptr ? 1 : 0;
  return S_OK;
}

STDMETHODIMP CKroBroker::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  ITypeInfo* described = TypeInfo();
  if (described == nullptr) return TYPE_E_CANTLOADLIBRARY;
  described->AddRef();
  *info = described;
  return S_OK;
}

STDMETHODIMP CKroBroker::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* described = TypeInfo();
  if (described == nullptr) return TYPE_E_CANTLOADLIBRARY;
  return ::DispGetIDsOfNames(described, names, count, ids);
}

STDMETHODIMP CKroBroker::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                EXCEPINFO* exception, UINT* bad_argument) {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ITypeInfo* described = TypeInfo();
  if (described == nullptr) return TYPE_E_CANTLOADLIBRARY;
  return ::DispInvoke(static_cast<IKroBroker*>(this), described, id, flags, params, result, exception, bad_argument);
}

STDMETHODIMP_(ULONG) CKroBroker::AddRef() { return ++references_; }

STDMETHODIMP_(ULONG) CKroBroker::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

void CKroBroker::Record(std::wstring operation) { operations_.push_back(std::move(operation)); }

STDMETHODIMP CKroBroker::BeginRegistration(VARIANT* handle, LONG service_count) {
  if (handle == nullptr) return E_POINTER;
  std::lock_guard<zel::TkSection> lock(lock_);
  Record(L"BeginRegistration " + std::to_wstring(service_count));
  if (faults_.fail_begin) return faults_.failure;
  ::VariantClear(handle);
  V_VT(handle) = VT_I4;
  V_I4(handle) = registration_ = registration_ + 1;
  complete_ = false;
  services_.clear();
  return S_OK;
}

STDMETHODIMP CKroBroker::RegisterService(VARIANT* handle, LONG service_id, BSTR service_name, BSTR display_name) {
  std::lock_guard<zel::TkSection> lock(lock_);
  Record(L"RegisterService " + std::to_wstring(service_id) + L" " + TextOf(service_name) + L" " +
         TextOf(display_name));
  if (++register_calls_ == faults_.fail_register_call) return faults_.failure;
  if (!IsHandle(handle, registration_)) return E_INVALIDARG;
  services_[Lower(TextOf(service_name))] = service_id;
  return S_OK;
}

STDMETHODIMP CKroBroker::CompleteRegistration(BSTR host_name, BSTR component_name, VARIANT* handle,
                                              VARIANT* answer) {
  if (answer == nullptr) return E_POINTER;
  std::lock_guard<zel::TkSection> lock(lock_);
  Record(L"CompleteRegistration " + TextOf(host_name) + L" " + TextOf(component_name));
  if (!IsHandle(handle, registration_)) return E_INVALIDARG;
  ::VariantClear(answer);
  V_VT(answer) = VT_I4;
  V_I4(answer) = faults_.complete_answer;
  complete_ = faults_.complete_answer == 0;
  component_ = complete_ ? TextOf(component_name) : L"";
  return S_OK;
}

STDMETHODIMP CKroBroker::Unregister(VARIANT* handle, VARIANT* answer) {
  std::lock_guard<zel::TkSection> lock(lock_);
  Record(L"Unregister");
  if (!IsHandle(handle, registration_)) return E_INVALIDARG;
  complete_ = false;
  component_.clear();
  services_.clear();
  if (answer != nullptr) {
    ::VariantClear(answer);
    V_VT(answer) = VT_I4;
    V_I4(answer) = 0;
  }
  return S_OK;
}

STDMETHODIMP CKroBroker::Detach() {
  std::lock_guard<zel::TkSection> lock(lock_);
  Record(L"Detach");
  return S_OK;
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
    ::VariantClear(result);
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
  Record(L"Advise");
  if (faults_.fail_advise) return CONNECT_E_CANNOTCONNECT;
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
    Record(L"Unadvise");
    if (sink_ == nullptr || cookie != cookie_) return CONNECT_E_NOCONNECTION;
    sink.Attach(sink_.Detach());
  }
  return S_OK;
}

HRESULT CKroBroker::RaiseOnWorker(DISPID id, DISPPARAMS& params) {
  IDispatchPtr sink;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    sink = sink_;
  }
  if (sink == nullptr) return CONNECT_E_NOCONNECTION;
  HRESULT hr = E_FAIL;
  pool_.Run([&] { hr = sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr,
                                     nullptr); });
  CheckSinkCall(sink, hr);
  return hr;
}

bool IsDisconnected(HRESULT hr) {
  return hr == RPC_E_DISCONNECTED || hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_SERVER_DIED ||
         hr == RPC_E_SERVER_DIED_DNE || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
         hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE);
}

void CKroBroker::CheckSinkCall(const IDispatchPtr& sink, HRESULT hr) {
  if (!IsDisconnected(hr)) return;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (sink_ != sink) return;  // already dropped, or another client advised since
  }
  DropClient(L"sink unreachable");
}

void CKroBroker::DropClient(const std::wstring& why) {
  IDispatchPtr sink;  // released after the lock: releasing a remote sink is a call of its own
  std::lock_guard<zel::TkSection> lock(lock_);
  Record(L"DropClient " + why);
  sink.Attach(sink_.Detach());
  complete_ = false;
  component_.clear();
  services_.clear();
}

bool CKroBroker::PingSink() {
  IDispatchPtr sink;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    sink = sink_;
  }
  if (sink == nullptr) return false;
  UINT count = 0;
  const HRESULT hr = sink->GetTypeInfoCount(&count);
  CheckSinkCall(sink, hr);
  return !IsDisconnected(hr);
}

void CKroBroker::SetExtension(const IID& iid, IUnknown* part) {
  std::lock_guard<zel::TkSection> lock(lock_);
  extension_iid_ = iid;
  extension_ = part;
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

void CKroBroker::SetFaults(const BrokerFaults& faults) {
  std::lock_guard<zel::TkSection> lock(lock_);
  faults_ = faults;
  register_calls_ = 0;
}

std::vector<std::wstring> CKroBroker::Operations() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return operations_;
}

std::wstring CKroBroker::RegisteredComponent() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return component_;
}

size_t CKroBroker::RegisteredServiceCount() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return complete_ ? services_.size() : 0;
}

BrokerClassRegistration::BrokerClassRegistration(CKroBroker* broker, DWORD context)
    : factory_(new BrokerFactory(broker)) {
  hr_ = ::CoRegisterClassObject(kro::kClsidKroBroker, factory_, context, REGCLS_MULTIPLEUSE, &cookie_);
}

BrokerClassRegistration::~BrokerClassRegistration() {
  if (SUCCEEDED(hr_)) ::CoRevokeClassObject(cookie_);
  factory_->Release();
}

}  // namespace zelhost
