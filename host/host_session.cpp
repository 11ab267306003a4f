#include "host_session.h"

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
  broker_ = options.broker_mode == BrokerMode::kLocalServer ? ConnectLocalServerBroker(options)
                                                            : StartEmbeddedBroker(options);

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

HostSession::~HostSession() {
  if (close_ != nullptr) reinterpret_cast<LONG (*)()>(close_)();
  module_.Reset();
  broker_.reset();
}

HRESULT HostSession::Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input,
                             VARIANT* output, LONG* return_code) {
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
