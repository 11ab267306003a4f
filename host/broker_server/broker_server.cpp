#include "broker_server/broker_server.h"

#include <atomic>

#include "broker/broker_host_interface.h"
#include "broker/broker_registration.h"
#include "broker/satellites.h"
#include "json_variant.h"

namespace zelhost {
namespace {

constexpr DWORD kWatchMs = 250;

std::wstring TextOf(BSTR text) { return std::wstring(text != nullptr ? text : L"", ::SysStringLen(text)); }

// A satellites script with the journal it writes to: replaced as one when the next host attaches,
// while requests still running keep the old pair alive through the broker's shared pointer.
class AttachedSatellites final : public SatelliteRouter {
 public:
  AttachedSatellites(const Json& script, const std::wstring& journal) : journal_(journal), script_(script) {
    script_.SetJournal(&journal_);
  }
  HRESULT Answer(const std::wstring& target, const std::wstring& service, const VARIANT& parameters,
                 VARIANT* result, VARIANT* status) override {
    return script_.Answer(target, service, parameters, result, status);
  }

 private:
  Journal journal_;
  SatelliteScript script_;
};

}  // namespace

// IZelBrokerHost as a tear-off of the broker: its identity and reference count are the broker's.
class BrokerServer::HostPart final : public zel::TearOff<IZelBrokerHost, CKroBroker> {
 public:
  explicit HostPart(BrokerServer& server) : TearOff(*server.broker_), server_(server) {}

  // Called through its vtable only, as the broker is.
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  STDMETHODIMP Attach(LONG process_id, BSTR satellites, BSTR journal) override {
    return server_.Attach(process_id, satellites, journal);
  }
  STDMETHODIMP Leave(LONG process_id) override { return server_.Leave(process_id); }
  STDMETHODIMP Deliver(BSTR requester, BSTR service, VARIANT input, VARIANT* output, LONG* return_code) override {
    if (output == nullptr || return_code == nullptr) return E_POINTER;
    try {
      return server_.broker_->Deliver(TextOf(requester), TextOf(service), input, output, return_code);
    } catch (...) {
      return E_OUTOFMEMORY;  // nothing escapes into the caller's COM call
    }
  }
  STDMETHODIMP SetWorkers(LONG process_id, LONG count) override { return server_.SetWorkers(process_id, count); }
  STDMETHODIMP get_ProcessId(LONG* id) override {
    if (id == nullptr) return E_POINTER;
    *id = static_cast<LONG>(::GetCurrentProcessId());
    return S_OK;
  }

 private:
  BrokerServer& server_;
};

BrokerServer::BrokerServer(unsigned workers, DWORD idle_ms)
    : log_(L"zelbroker.log", true), idle_ms_(idle_ms), workers_(workers), broker_(CKroBroker::Create(workers)),
      part_(std::make_unique<HostPart>(*this)), idle_since_(::GetTickCount()) {
  broker_->SetExtension(__uuidof(IZelBrokerHost), part_.get());
}

BrokerServer::~BrokerServer() { broker_->SetExtension(IID_NULL, nullptr); }

HRESULT BrokerServer::Attach(LONG process_id, BSTR satellites, BSTR journal) {
  std::shared_ptr<SatelliteRouter> router;
  try {
    const std::string text = ToUtf8(TextOf(satellites));
    router = std::make_shared<AttachedSatellites>(text.empty() ? Json::object() : ParseJson(text), TextOf(journal));
  } catch (const std::exception& error) {
    log_.Error(L"Attach from process %ld: unusable satellites script: %hs", static_cast<long>(process_id),
               error.what());
    return E_INVALIDARG;
  }
  zel::UniqueKernelHandle process(::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process_id)));
  if (!process) return E_INVALIDARG;
  bool predecessor_died = false;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (closing_) return CO_E_SERVER_STOPPING;
    if (host_id_ != 0 && host_id_ != static_cast<DWORD>(process_id)) {
      if (::WaitForSingleObject(host_process_.Get(), 0) == WAIT_TIMEOUT) return CONNECT_E_ADVISELIMIT;
      predecessor_died = true;  // before the watcher noticed
    }
    host_id_ = static_cast<DWORD>(process_id);
    host_process_ = std::move(process);
  }
  if (predecessor_died) {
    log_.Warn(L"The previous host process ended without leaving");
    broker_->DropClient();
  }
  broker_->SetRouter(std::move(router));
  log_.Info(L"Host process %ld attached", static_cast<long>(process_id));
  return S_OK;
}

HRESULT BrokerServer::Leave(LONG process_id) {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (host_id_ == 0 || host_id_ != static_cast<DWORD>(process_id)) return S_FALSE;
  }
  ForgetHost(L"left");
  return S_OK;
}

// One host holds the broker at a time, so its count is the broker's while it stays; the next host
// starts from the server's own.
HRESULT BrokerServer::SetWorkers(LONG process_id, LONG count) {
  if (count < 1 || count > 256) return E_INVALIDARG;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (host_id_ == 0 || host_id_ != static_cast<DWORD>(process_id)) return E_ACCESSDENIED;
  }
  broker_->SetWorkers(static_cast<unsigned>(count));
  log_.Info(L"Host process %ld: %ld workers", static_cast<long>(process_id), static_cast<long>(count));
  return S_OK;
}

void BrokerServer::ForgetHost(const wchar_t* why) {
  DWORD id = 0;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    id = host_id_;
    host_id_ = 0;
    host_process_.Reset();
    idle_since_ = ::GetTickCount();
  }
  broker_->SetRouter(nullptr);
  broker_->SetWorkers(workers_);
  broker_->DropClient();
  log_.Info(L"Host process %lu %ls; its registration and event sink are released", static_cast<unsigned long>(id),
            why);
}

bool BrokerServer::Watch() {
  bool host_died = false;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    host_died = host_id_ != 0 && ::WaitForSingleObject(host_process_.Get(), 0) != WAIT_TIMEOUT;
  }
  if (host_died) {
    log_.Warn(L"The host process ended without leaving");
    ForgetHost(L"ended");
  }
  const bool sink_alive = broker_->PingSink();
  std::lock_guard<zel::TkSection> lock(lock_);
  if (host_id_ != 0 || sink_alive) {
    idle_since_ = ::GetTickCount();
    return true;
  }
  if (::GetTickCount() - idle_since_ < idle_ms_) return true;
  closing_ = true;  // from here on Attach refuses, so that a late host activates a new server
  return false;
}

int BrokerServer::Run() {
  BrokerClassRegistration registration(broker_->Identity(), CLSCTX_LOCAL_SERVER);
  if (FAILED(registration.Result())) {
    log_.Error(L"Could not register the broker's class object: hr = 0x%08X", static_cast<unsigned>(registration.Result()));
    return 1;
  }
  log_.Info(L"Broker serving in process %lu", static_cast<unsigned long>(::GetCurrentProcessId()));
  while (Watch()) ::Sleep(kWatchMs);
  log_.Info(L"Broker idle; ending");
  return 0;
}

}  // namespace zelhost
