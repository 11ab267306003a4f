#include "core/kro_atl.h"

#include "common/com_checks.h"
#include "common/module_log.h"
#include "common/product_folders.h"
#include "core/service_table.h"

namespace zel::core {
namespace {

std::wstring TextOf(BSTR text) { return std::wstring(text != nullptr ? text : L"", ::SysStringLen(text)); }

bool IsZeroAnswer(const VARIANT& answer) {
  ScopedVariant number;
  return SUCCEEDED(::VariantChangeType(number.Get(), const_cast<VARIANT*>(&answer), 0, VT_I4)) && V_I4(number.Get()) == 0;
}

}  // namespace

CKroAtl::CKroAtl() {
  const std::optional<std::wstring> folder = GetProductFolder(ProductFolder::kConfig);
  if (!folder) return;  // no data folder: nothing is made or loaded
  prefixes_.Open(*folder + L"\\zel.xml");  // what it cannot load, it logs
}

CKroAtl::~CKroAtl() {
  Disconnect();
  registration_handle_.Reset();
}

HRESULT CKroAtl::AttachBroker() {
  IUnknownPtr unknown;
  ZEL_RETURN_IF_FAILED(::CoCreateInstance(kro::kClsidKroBroker, nullptr, CLSCTX_ALL, IID_IUnknown,
                                          reinterpret_cast<void**>(&unknown)));
  ZEL_RETURN_IF_FAILED(::OleRun(unknown));
  IKroBrokerPtr broker;
  ZEL_RETURN_IF_FAILED(unknown->QueryInterface(__uuidof(IKroBroker), reinterpret_cast<void**>(&broker)));
  ZEL_RETURN_IF_FAILED(AdviseSource(broker));
  channel_->Attach(broker);
  return S_OK;
}

bool CKroAtl::Connect() {
  if (advised_ != 0) return true;
  const HRESULT hr = AttachBroker();
  if (FAILED(hr)) {
    ModuleLog().Error(L"Could not connect to the broker: hr = 0x%08X", static_cast<unsigned>(hr));
    return false;
  }
  advised_ = 1;
  return true;
}

HRESULT CKroAtl::RegisterServices(IKroBroker* broker) {
  ZEL_RETURN_IF_FAILED(broker->BeginRegistration(registration_handle_.Receive(), static_cast<LONG>(kServiceCount)));
  for (const ServiceEntry& row : kServiceTable) {
    _bstr_t name(row.name);
    ZEL_RETURN_IF_FAILED(broker->RegisterService(registration_handle_.Get(), row.id, name, name));
  }
  component_name_ = kComponentName;
  ScopedVariant answer;
  ZEL_RETURN_IF_FAILED(broker->CompleteRegistration(_bstr_t(host_name_.c_str()), _bstr_t(component_name_.c_str()),
                                                    registration_handle_.Get(), answer.Get()));
  return IsZeroAnswer(*answer) ? S_OK : S_FALSE;
}

LONG CKroAtl::RegisterWithBroker() {
  if (!Connect()) return 1;
  wchar_t computer[16];
  DWORD computer_size = 16;
  if (!::GetComputerNameW(computer, &computer_size)) {
    ModuleLog().Error(L"Could not read the computer name: error %u", static_cast<unsigned>(::GetLastError()));
    return 1;
  }
  IKroBrokerPtr broker = channel_->Broker();
  if (broker == nullptr) return 1;
  const HRESULT hr = RegisterServices(broker);
  if (FAILED(hr)) {
    ModuleLog().Error(L"Registration with the broker failed: hr = 0x%08X", static_cast<unsigned>(hr));
    return 1;
  }
  if (hr == S_FALSE) {
    ModuleLog().Error(L"The broker refused the registration");
    return 1;
  }
  registered_ = 1;
  return 0;
}

void CKroAtl::Disconnect() {
  if (registered_ != 0) {
    registered_ = 0;
    if (IKroBrokerPtr broker = channel_->Broker()) {
      ScopedVariant answer;
      broker->Unregister(registration_handle_.Get(), answer.Get());
      broker->Detach();
    }
  }
  if (advised_ != 0) {
    const HRESULT hr = UnadviseSource();
    if (FAILED(hr)) ModuleLog().Warn(L"Closing the event connection failed: hr = 0x%08X", static_cast<unsigned>(hr));
    channel_->Detach();
    advised_ = 0;
  }
}

HRESULT CKroAtl::OnServiceRequested(BSTR requester, BSTR service, VARIANT* input, VARIANT* output,
                                    LONG* return_code) {
  const std::wstring name = TextOf(service);
  const std::wstring from = TextOf(requester);
  ModuleLog().Info(L"%d :OnServiceRequested %s", static_cast<int>(::GetCurrentThreadId()), name.c_str());
  ServiceCall call{parts_, from, *input, *output};
  DispatchService(kServiceTable, kServiceCount, name, call, return_code);
  ModuleLog().Info(L"%d: Onservicerequested returned %d", static_cast<int>(::GetCurrentThreadId()), *return_code);
  return S_OK;
}

HRESULT CKroAtl::OnBrokerNotify(LONG, LONG*) { return S_OK; }

}  // namespace zel::core
