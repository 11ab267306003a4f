#include "broker/broker_registration.h"

#include <comdef.h>
#include <oleauto.h>

#include "broker/broker_host_interface.h"
#include "channel/kro_interfaces.h"
#include "common/com_object.h"
#include "common/unique_handle.h"

_COM_SMARTPTR_TYPEDEF(ITypeLib, __uuidof(ITypeLib));
_COM_SMARTPTR_TYPEDEF(IUnknown, __uuidof(IUnknown));

namespace zelhost {
namespace {

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ClassKey() { return L"Software\\Classes\\CLSID\\" + GuidText(kro::kClsidKroBroker); }

HRESULT SetText(HKEY parent, const std::wstring& subkey, const wchar_t* name, const std::wstring& value) {
  zel::UniqueRegKey key;
  LONG status = ::RegCreateKeyExW(parent, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Receive(),
                                  nullptr);
  if (status == ERROR_SUCCESS) {
    status = ::RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  return HRESULT_FROM_WIN32(status);
}

// The marshaler finds an interface's description through Interface\{iid}\TypeLib; without it
// QueryInterface across processes fails with E_NOINTERFACE. Written here, as not every
// RegisterTypeLib writes it.
HRESULT RegisterInterface(const IID& iid, const wchar_t* name, const wchar_t* proxy) {
  const std::wstring key = L"Software\\Classes\\Interface\\" + GuidText(iid);
  HRESULT hr = SetText(HKEY_LOCAL_MACHINE, key, nullptr, name);
  if (SUCCEEDED(hr)) hr = SetText(HKEY_LOCAL_MACHINE, key + L"\\ProxyStubClsid32", nullptr, proxy);
  if (SUCCEEDED(hr)) hr = SetText(HKEY_LOCAL_MACHINE, key + L"\\TypeLib", nullptr, GuidText(kLibidZelBroker));
  if (SUCCEEDED(hr)) hr = SetText(HKEY_LOCAL_MACHINE, key + L"\\TypeLib", L"Version", L"1.0");
  return hr;
}

// The platform's marshalers: the type-library marshaler for the dual interfaces, the IDispatch one
// for the event interface.
constexpr wchar_t kTypeLibMarshaler[] = L"{00020424-0000-0000-C000-000000000046}";
constexpr wchar_t kDispatchMarshaler[] = L"{00020420-0000-0000-C000-000000000046}";

class BrokerFactory final : public zel::ComObject<IClassFactory> {
 public:
  explicit BrokerFactory(IUnknown* broker) : broker_(broker) {}

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return broker_->QueryInterface(iid, object);  // every client shares the one broker
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  IUnknownPtr broker_;
};

}  // namespace

HRESULT RegisterBrokerServer(const std::wstring& server_path) {
  ITypeLibPtr library;
  HRESULT hr = ::LoadTypeLibEx(server_path.c_str(), REGKIND_NONE, &library);
  if (SUCCEEDED(hr)) hr = ::RegisterTypeLib(library, const_cast<wchar_t*>(server_path.c_str()), nullptr);
  const std::wstring key = ClassKey();
  // COM appends " -Embedding" to this command itself.
  if (SUCCEEDED(hr)) hr = SetText(HKEY_LOCAL_MACHINE, key, nullptr, L"ZovIdivariRuder broker");
  if (SUCCEEDED(hr)) hr = SetText(HKEY_LOCAL_MACHINE, key + L"\\LocalServer32", nullptr, L"\"" + server_path + L"\"");
  if (SUCCEEDED(hr)) hr = SetText(HKEY_LOCAL_MACHINE, key + L"\\TypeLib", nullptr, GuidText(kLibidZelBroker));
  if (SUCCEEDED(hr)) hr = RegisterInterface(__uuidof(IKroBroker), L"IKroBroker", kTypeLibMarshaler);
  if (SUCCEEDED(hr)) hr = RegisterInterface(__uuidof(IZelBrokerHost), L"IZelBrokerHost", kTypeLibMarshaler);
  if (SUCCEEDED(hr)) hr = RegisterInterface(kro::kDiidKroInEvents, L"_IKroInEvents", kDispatchMarshaler);
  return hr;
}

HRESULT UnregisterBrokerServer() {
  const LONG status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey().c_str());
  const HRESULT hr = ::UnRegisterTypeLib(kLibidZelBroker, 1, 0, LOCALE_NEUTRAL, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(status);
  return hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED ? S_OK : hr;
}

std::wstring BrokerServerBesideProgram() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1) + L"zelbroker.exe";
}


BrokerClassRegistration::BrokerClassRegistration(IUnknown* broker, DWORD context)
    : factory_(new BrokerFactory(broker)) {
  hr_ = ::CoRegisterClassObject(kro::kClsidKroBroker, factory_.get(), context, REGCLS_MULTIPLEUSE, &cookie_);
}

BrokerClassRegistration::~BrokerClassRegistration() {
  if (SUCCEEDED(hr_)) ::CoRevokeClassObject(cookie_);
}

}  // namespace zelhost
