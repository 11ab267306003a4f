#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <string>

#include "core/module_parts.h"

namespace zel::core {

// One service request as the dispatcher hands it to a handler.
struct ServiceCall {
  const ModuleParts& module;
  const std::wstring& requester;
  VARIANT& input;   // the request's input, by value as the broker passed it
  VARIANT& output;  // filled by the handler
  LONG* return_code = nullptr;  // the request's return code, set by the dispatcher before the handler runs
};

// A handler's result becomes the request's return code.
using ServiceHandler = LONG (*)(ServiceCall& call);

struct ServiceEntry {
  LONG id;               // sent to the broker at registration
  const wchar_t* name;   // compared exactly, case-sensitively
  ServiceHandler handler;  // null: registered, but no handler runs
};

constexpr size_t kServiceCount = 40;

// The 40 services in registration order, ids 0 to 39.
extern const ServiceEntry kServiceTable[kServiceCount];

// What the service families do when the module starts and closes, beside answering requests:
// day-old archives left by a crash are removed at start; at close no zip job outlives the module
// with a half-written archive (each is cancelled and deletes its archive, within a bounded wait).
void StartServices(const ModuleParts& parts);
void StopServices(const ModuleParts& parts);

// Finds `service` in `table` (exact comparison, table order) and runs its handler, storing its
// result in `*return_code`; an unknown name or a row without handler leaves `*return_code` as it
// is. No exception leaves: a WideError is logged as "Onservicerequested exception: %s" with the
// return code unchanged, a COM error (a failed broker call) is logged and its HRESULT becomes the
// return code, and anything else is logged as an error.
void DispatchService(const ServiceEntry* table, size_t count, const std::wstring& service, ServiceCall& call,
                     LONG* return_code);

}  // namespace zel::core
