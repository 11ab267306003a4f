#include <olectl.h>

#include <cstdio>
#include <memory>

#include "broker/broker_connection.h"
#include "broker/broker_host_interface.h"
#include "broker/broker_registration.h"
#include "broker/liveness_monitor.h"
#include "broker/satellites.h"
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

// A server that no host has attached ends once idle, and the time a call's arguments spend on their
// way counts as idle: a script of some megabytes is still being carried when that time is up. So
// the host first attaches with nothing, which is quick and holds the server for as long as this
// process lives, then attaches again, replacing the empty script with its own.
HRESULT ClaimAndAttach(IZelBrokerHost* host, const std::wstring& satellites, const std::wstring& journal) {
  const LONG process = static_cast<LONG>(::GetCurrentProcessId());
  HRESULT hr = host->Attach(process, _bstr_t(L""), _bstr_t(L""));
  if (SUCCEEDED(hr) && !(satellites.empty() && journal.empty())) {
    hr = host->Attach(process, _bstr_t(satellites.c_str()), _bstr_t(journal.c_str()));
    if (FAILED(hr)) host->Leave(process);
  }
  return hr;
}

namespace {

// The host's hold on the broker in zelbroker.exe: registered beside the host program, activated
// through COM (a running server is shared), attached for this process; left and unregistered when
// destroyed, so that afterwards the prefix is as before and a module loaded without a broker finds
// none.
class LocalServerConnection final : public BrokerConnection {
 public:
  // `satellites`: the script's JSON text (empty: none); `journal`: a full path (empty: none);
  // `workers`: how many requests the broker raises at once for this host. Fails with the
  // activation's, Attach's or SetWorkers' HRESULT.
  static HRESULT Connect(const std::wstring& satellites, const std::wstring& journal, unsigned workers,
                         std::unique_ptr<LocalServerConnection>* connection);
  ~LocalServerConnection() override {
    host_->Leave(static_cast<LONG>(::GetCurrentProcessId()));
    UnregisterBrokerServer();
  }

  HRESULT Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input, VARIANT* output,
                  LONG* return_code) override {
    return host_->Deliver(_bstr_t(requester.c_str()), _bstr_t(service.c_str()), input, output, return_code);
  }
  CKroBroker* Embedded() override { return nullptr; }

 private:
  explicit LocalServerConnection(IZelBrokerHostPtr host) : host_(std::move(host)) {}
  IZelBrokerHostPtr host_;
};

HRESULT LocalServerConnection::Connect(const std::wstring& satellites, const std::wstring& journal, unsigned workers,
                                       std::unique_ptr<LocalServerConnection>* connection) {
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
    if (SUCCEEDED(hr)) hr = ClaimAndAttach(host, satellites, journal);
    if (SUCCEEDED(hr)) {
      connection->reset(new LocalServerConnection(std::move(host)));  // from here on, leaves when destroyed
      hr = (*connection)->host_->SetWorkers(static_cast<LONG>(::GetCurrentProcessId()), static_cast<LONG>(workers));
      if (FAILED(hr)) connection->reset();
      return hr;
    }
    if (hr != CO_E_SERVER_STOPPING && !IsDisconnected(hr)) return hr;
  }
  return hr;
}

}  // namespace

// The script is checked here as well, so that a bad one is refused before anything starts; the
// broker's process gets its text, and the journal's full path, as its working folder is not ours.
std::unique_ptr<BrokerConnection> ConnectLocalServerBroker(const HostOptions& options) {
  const std::string script = options.satellites_path.empty() ? "" : ReadTextFile(options.satellites_path);
  SatelliteScript checked(script.empty() ? Json::object() : ParseJson(script));
  std::wstring journal;
  if (!options.journal_path.empty()) {
    wchar_t full[MAX_PATH];
    const DWORD length = ::GetFullPathNameW(options.journal_path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) throw HostError("unusable journal path " + ToUtf8(options.journal_path));
    journal.assign(full, length);
  }
  std::unique_ptr<LocalServerConnection> connection;
  const HRESULT hr = LocalServerConnection::Connect(FromUtf8(script), journal, options.workers, &connection);
  if (hr == CONNECT_E_ADVISELIMIT) {
    throw HostError("another zelhost process holds the broker in zelbroker.exe (0x80040201): one host at a time "
                    "can use --broker local-server; end that host or let it finish, then start this one again "
                    "(or use --broker embedded)");
  }
  if (FAILED(hr)) {
    char text[96];
    snprintf(text, sizeof(text), "could not start the broker server zelbroker.exe (0x%08lX)",
             static_cast<unsigned long>(hr));
    throw HostError(text);
  }
  return connection;
}

}  // namespace zelhost
