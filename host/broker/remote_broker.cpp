#include "broker/remote_broker.h"

#include "broker/broker_registration.h"
#include "broker/kro_broker.h"
#include "channel/kro_interfaces.h"

namespace zelhost {
namespace {

// A server that is ending refuses Attach, or is gone before the call reaches it; the next
// activation starts a new one.
constexpr int kAttempts = 40;
constexpr DWORD kRetryMs = 100;

// A server that was killed leaves its class object in the platform's table of running servers, and
// activation keeps reaching the dead process. A server started by hand registers its class object
// over that entry.
void StartServer(const std::wstring& path) {
  std::wstring command = L"\"" + path + L"\" -Embedding";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (::CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                       &startup, &process)) {
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
}

}  // namespace

HRESULT RemoteBroker::Connect(const std::wstring& satellites, const std::wstring& journal, unsigned workers,
                              std::unique_ptr<RemoteBroker>* broker) {
  const std::wstring server = BrokerServerBesideProgram();
  HRESULT hr = RegisterBrokerServer(server);
  if (FAILED(hr)) return hr;
  bool started = false;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) ::Sleep(kRetryMs);
    IZelBrokerHostPtr host;
    hr = ::CoCreateInstance(kro::kClsidKroBroker, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IZelBrokerHost),
                            reinterpret_cast<void**>(&host));
    if (IsDisconnected(hr) && !started) {
      StartServer(server);
      started = true;
    }
    if (SUCCEEDED(hr)) {
      hr = host->Attach(static_cast<LONG>(::GetCurrentProcessId()), _bstr_t(satellites.c_str()),
                        _bstr_t(journal.c_str()));
    }
    if (SUCCEEDED(hr)) {
      broker->reset(new RemoteBroker(std::move(host)));  // from here on, leaves when destroyed
      hr = (*broker)->host_->SetWorkers(static_cast<LONG>(::GetCurrentProcessId()), static_cast<LONG>(workers));
      if (FAILED(hr)) broker->reset();
      return hr;
    }
    if (hr != CO_E_SERVER_STOPPING && !IsDisconnected(hr)) return hr;
  }
  return hr;
}

// The registration lasts as long as the session: afterwards the prefix is as before, and a module
// loaded without a broker finds none.
RemoteBroker::~RemoteBroker() {
  host_->Leave(static_cast<LONG>(::GetCurrentProcessId()));
  UnregisterBrokerServer();
}

HRESULT RemoteBroker::Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input,
                              VARIANT* output, LONG* return_code) {
  return host_->Deliver(_bstr_t(requester.c_str()), _bstr_t(service.c_str()), input, output, return_code);
}

}  // namespace zelhost
