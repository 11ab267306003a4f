#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "broker/kro_broker.h"
#include "broker/remote_broker.h"
#include "broker/satellites.h"
#include "common/unique_handle.h"
#include "json_variant.h"

namespace zelhost {

// Where the broker lives: in the host's process, or in zelbroker.exe, which the module's own
// creation call activates, so that everything between them crosses processes.
enum class BrokerMode { kEmbedded, kLocalServer };

struct HostOptions {
  std::wstring module_path;      // empty: ZovIdivariRuder.dll beside the host program
  std::wstring satellites_path;  // empty: no satellite answers anything
  std::wstring journal_path;     // empty: requests to satellites are not written down
  std::optional<DWORD> log_level;  // written to the registry's "LogLevel" before the module loads
  std::wstring search_url;  // non-empty: written to the desktop-search engine's "search_url" first
  unsigned workers = 8;  // events the broker raises at once (zelbroker.exe's while this host holds it)
  BrokerMode broker_mode = BrokerMode::kEmbedded;
};

// A failure to set the host up (module missing, broker not registrable).
class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The media server's side of the module's life: the embedded broker registered as a COM class,
// the module loaded with LoadLibraryW, Initialize called; Close, FreeLibrary and the revocation
// when the session ends.
class HostSession {
 public:
  // Throws JsonError for an unusable satellites file, HostError for anything else.
  explicit HostSession(const HostOptions& options);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  struct Reply {
    HRESULT delivery;  // S_OK when the request reached the module
    LONG rc;
    Json output;
  };
  // Sends one request through the broker. `input` is converted first (throws JsonError).
  Reply Call(const std::wstring& requester, const std::wstring& service, const Json& input, LONG rc);

  // Raises one request at the module through whichever broker the session uses.
  HRESULT Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input, VARIANT* output,
                  LONG* return_code);

  // The embedded broker; throws HostError when the broker runs in another process.
  CKroBroker& Broker() {
    if (broker_ == nullptr) throw HostError("the broker of this session runs in another process");
    return *broker_;
  }

 private:
  void StartRemoteBroker(const HostOptions& options);

  BrokerPtr broker_;
  std::unique_ptr<RemoteBroker> remote_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<BrokerClassRegistration> registration_;
  zel::UniqueModule module_;
  FARPROC close_ = nullptr;
};

// Reads a whole file as UTF-8 text; throws HostError.
std::string ReadTextFile(const std::wstring& path);

}  // namespace zelhost
