#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "broker/broker_connection.h"
#include "broker/kro_broker.h"
#include "common/unique_handle.h"
#include "host_options.h"
#include "json_variant.h"

namespace zelhost {

// The media server's side of the module's life: the broker connected (embedded, or in
// zelbroker.exe, as the options say), the module loaded with LoadLibraryW, Initialize called;
// Close, FreeLibrary and the broker let go when the session ends.
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
    if (broker_->Embedded() == nullptr) throw HostError("the broker of this session runs in another process");
    return *broker_->Embedded();
  }

 private:
  std::unique_ptr<BrokerConnection> broker_;
  zel::UniqueModule module_;
  FARPROC close_ = nullptr;
};

}  // namespace zelhost
