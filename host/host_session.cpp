#include "host_session.h"

#include <olectl.h>

#include <cstdio>

namespace zelhost {
namespace {

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

void WriteLogLevel(DWORD level) {
  zel::UniqueRegKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\ROD Ezeduduv\\Zel", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        key.Receive(), nullptr) != ERROR_SUCCESS ||
      ::RegSetValueExW(key.Get(), L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof(level)) !=
          ERROR_SUCCESS) {
    throw HostError("could not write LogLevel to the registry");
  }
}

// HKCU\Software\Google\Google Desktop\API "search_url": where the module finds the engine.
void WriteSearchUrl(const std::wstring& url) {
  zel::UniqueRegKey key;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Google\\Google Desktop\\API", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, key.Receive(), nullptr) != ERROR_SUCCESS ||
      ::RegSetValueExW(key.Get(), L"search_url", 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                       static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
    throw HostError("could not write search_url to the registry");
  }
}

}  // namespace

std::string ReadTextFile(const std::wstring& path) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) throw HostError("cannot open " + ToUtf8(path));
  std::string text;
  char buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, got);
  fclose(file);
  return text;
}

HostSession::HostSession(const HostOptions& options) {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (options.broker_mode == BrokerMode::kLocalServer) {
    StartRemoteBroker(options);
  } else {
    std::shared_ptr<SatelliteScript> satellites = std::make_shared<SatelliteScript>(
        options.satellites_path.empty() ? Json::object() : ParseJson(ReadTextFile(options.satellites_path)));
    journal_ = std::make_unique<Journal>(options.journal_path);
    satellites->SetJournal(journal_.get());
    broker_ = CKroBroker::Create(options.workers);
    broker_->SetRouter(satellites);
    registration_ = std::make_unique<BrokerClassRegistration>(broker_.get());
    if (FAILED(registration_->Result())) throw HostError("could not register the broker's class object");
  }

  if (options.log_level) WriteLogLevel(*options.log_level);
  if (!options.search_url.empty()) WriteSearchUrl(options.search_url);
  const std::wstring module_path =
      options.module_path.empty() ? ProgramFolder() + L"ZovIdivariRuder.dll" : options.module_path;
  module_.Reset(::LoadLibraryW(module_path.c_str()));
  if (!module_) throw HostError("cannot load " + ToUtf8(module_path));
  auto initialize = reinterpret_cast<LONG (*)()>(::GetProcAddress(module_.Get(), "Initialize"));
  close_ = ::GetProcAddress(module_.Get(), "Close");
  if (initialize == nullptr || close_ == nullptr) throw HostError("the module does not export Initialize and Close");
  initialize();
}

// The script is checked here as well, so that a bad one is refused before anything starts; the
// broker's process gets its text, and the journal's full path, as its working folder is not ours.
void HostSession::StartRemoteBroker(const HostOptions& options) {
  const std::string script = options.satellites_path.empty() ? "" : ReadTextFile(options.satellites_path);
  SatelliteScript checked(script.empty() ? Json::object() : ParseJson(script));
  std::wstring journal;
  if (!options.journal_path.empty()) {
    wchar_t full[MAX_PATH];
    const DWORD length = ::GetFullPathNameW(options.journal_path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) throw HostError("unusable journal path " + ToUtf8(options.journal_path));
    journal.assign(full, length);
  }
  const HRESULT hr = RemoteBroker::Connect(FromUtf8(script), journal, options.workers, &remote_);
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
}

HostSession::~HostSession() {
  if (close_ != nullptr) reinterpret_cast<LONG (*)()>(close_)();
  module_.Reset();
  registration_.reset();
  remote_.reset();
}

HRESULT HostSession::Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input,
                             VARIANT* output, LONG* return_code) {
  if (remote_ != nullptr) return remote_->Deliver(requester, service, input, output, return_code);
  return broker_->Deliver(requester, service, input, output, return_code);
}

HostSession::Reply HostSession::Call(const std::wstring& requester, const std::wstring& service, const Json& input,
                                     LONG rc) {
  VariantArena arena;
  zel::ScopedVariant in;
  JsonToVariant(input, in.Get(), &arena);
  zel::ScopedVariant out;
  Reply reply{S_OK, rc, nullptr};
  reply.delivery = Deliver(requester, service, *in, out.Get(), &reply.rc);
  reply.output = VariantToJson(*out);
  return reply;
}

}  // namespace zelhost
