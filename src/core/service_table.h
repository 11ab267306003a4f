#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <string>

#include "core/module_parts.h"

namespace zel::core {

// One service request as the dispatcher hands it to a row.
struct ServiceCall {
  const ModuleParts& module;
  const std::wstring& requester;
  VARIANT& input;   // the request's input, by value as the broker passed it; only the row's decoder reads it
  VARIANT& output;  // filled by the handler
};

// A row decodes the input into its service's typed request and runs the handler; the handler's
// result becomes the request's return code.
using ServiceHandler = LONG (*)(ServiceCall& call);

// How the dispatcher answers a WideError that leaves a row: the WARN line `warn_format` with the
// error's message in its one placeholder, and the error's own code if it has one, else
// `input_code` for an element of the input that is missing or of the wrong type, else
// `failure_code`. Where the service itself catches nothing and its error reaches the dispatcher,
// the row says so with kReachesDispatcher: the WARN line is "Onservicerequested exception: %s" and
// the return code stays as the broker passed it.
struct ErrorMap {
  const wchar_t* warn_format;  // null: kReachesDispatcher
  LONG input_code;
  LONG failure_code;
};
constexpr ErrorMap kReachesDispatcher{nullptr, 0, 0};

struct ServiceEntry {
  LONG id;               // sent to the broker at registration
  const wchar_t* name;   // compared exactly, case-sensitively
  ServiceHandler handler;  // null: registered, but no handler runs
  ErrorMap errors = kReachesDispatcher;
};

constexpr size_t kServiceCount = 40;

// The 40 services in registration order, ids 0 to 39.
extern const ServiceEntry kServiceTable[kServiceCount];

// What the service families do when the module starts and closes, beside answering requests:
// day-old archives left by a crash are removed at start; at close no zip job outlives the module
// with a half-written archive (each is cancelled and deletes its archive, within a bounded wait).
void StartServices(const ModuleParts& parts);
void StopServices(const ModuleParts& parts);

// Finds `service` in `table` (exact comparison, table order) and runs its row, storing the result
// in `*return_code`; an unknown name or a row without handler leaves `*return_code` as it is. This
// is the one place where an error becomes a return code, and no exception leaves: a WideError is
// answered as the row's ErrorMap says, a COM error (a failed broker call) is logged as
// "<service>: broker call failed, hr = 0x..." and its HRESULT becomes the return code, no memory
// answers 8, and anything else is logged as an error with the return code unchanged.
void DispatchService(const ServiceEntry* table, size_t count, const std::wstring& service, ServiceCall& call,
                     LONG* return_code);

}  // namespace zel::core
