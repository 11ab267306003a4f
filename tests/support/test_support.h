#pragma once

#include <windows.h>

#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "broker/broker_registration.h"
#include "broker/kro_broker.h"
#include "broker/satellites.h"
#include "common/scoped_variant.h"
#include "json_variant.h"
#include "support/instrumented_broker.h"

namespace zeltest {

using zelhost::Json;

// A VARIANT from the host's JSON notation, e.g. V(R"(["a", {"i8": 5}])").
zel::ScopedVariant V(const std::string& json);
// The host's JSON notation of a VARIANT, for comparisons.
Json J(const VARIANT& value);

std::string Narrow(const std::wstring& text);

// A folder under the temporary folder, removed with its contents at the end of the scope.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::wstring& Path() const { return path_; }
  // Writes `bytes` to Path()\name and returns the full path.
  std::wstring WriteFile(const std::wstring& name, const std::string& bytes) const;

 private:
  std::wstring path_;
};

// Deletes `folder` with everything in it (read-only files included).
void RemoveTree(const std::wstring& folder);

// A name no other test of this run uses.
std::wstring UniqueName(const std::wstring& stem);

// The lines of a UTF-8 text file without their line ends; empty when it cannot be read.
std::vector<std::string> ReadLines(const std::wstring& path);
std::string ReadBytes(const std::wstring& path);
// The lines of `path` that contain `needle`.
std::vector<std::string> LinesWith(const std::wstring& path, const std::string& needle);
// Lines of the module log (and its ".back") that contain `needle`.
std::vector<std::string> ModuleLogLinesWith(const std::string& needle);
// The logs folder every process of the prefix writes to, with its final backslash.
std::wstring LogsFolder();

// Sets HKLM\Software\ROD Ezeduduv\Zel "LogLevel" (or removes it) for one scope.
class LogLevelValue {
 public:
  explicit LogLevelValue(std::optional<DWORD> level);
  ~LogLevelValue();

 private:
  std::optional<DWORD> previous_;
};

// Runs `service` through the module's service table and dispatcher as the broker's event does (the
// row decodes the input, the dispatcher maps its errors), on a module object of the test program
// that has no broker connection. `output` and `rc` are what the broker passed; both come back as
// the request left them.
LONG Dispatch(const std::wstring& service, const VARIANT& input, VARIANT& output, LONG rc = 0,
              const std::wstring& requester = L"tests");

// An embedded broker, wrapped so that what the module asks of it is written down (and the faults
// named happen), registered as the COM class the module looks for, for one scope.
class BrokerScope {
 public:
  explicit BrokerScope(const BrokerFaults& faults = {});
  ~BrokerScope();
  zelhost::CKroBroker& Broker() { return broker_->Inner(); }
  // What the module asked of the broker; see InstrumentedBroker::Operations.
  std::vector<std::wstring> Operations() const { return broker_->Operations(); }

  // Sends a request through the broker; returns the delivery HRESULT.
  HRESULT Call(const std::wstring& service, const VARIANT& input, VARIANT* output, LONG* rc,
               const std::wstring& requester = L"tests") {
    return Broker().Deliver(requester, service, const_cast<VARIANT&>(input), output, rc);
  }

 private:
  zel::ComOwner<InstrumentedBroker> broker_;
  std::unique_ptr<zelhost::BrokerClassRegistration> registration_;  // revoked before the broker goes
};

// The module (linked into the test program) running against the embedded broker for one scope:
// Initialize on construction, Close on destruction. Satellites answer from a script in the host's
// notation ({"DiRuzov": {"GetFileFromId": {"rc": 0, "answer": [...]}}}); every request the module
// makes of them is kept in the journal.
class RunningModule {
 public:
  explicit RunningModule(const std::string& satellites = "{}", const BrokerFaults& faults = {});
  ~RunningModule();
  RunningModule(const RunningModule&) = delete;
  RunningModule& operator=(const RunningModule&) = delete;

  struct Reply {
    LONG rc;
    Json output;
  };
  // Sends one request through the broker; the return code starts as `rc`.
  Reply Call(const std::wstring& service, const std::string& input, LONG rc = 0,
             const std::wstring& requester = L"tests");
  // The requests the module sent to satellites so far: {"target", "service", "params"} each.
  std::vector<Json> Journal() const { return journal_.Lines(); }
  BrokerScope& Scope() { return scope_; }

 private:
  BrokerScope scope_;
  zelhost::Journal journal_;
};

}  // namespace zeltest
