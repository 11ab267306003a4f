#pragma once

#include <windows.h>
#include <oaidl.h>
#include <winerror.h>

#include <string>

#include "common/scoped_variant.h"

namespace zel::media {

// The failure of a broker request made while the module holds no broker connection.
constexpr HRESULT kNoBrokerConnection = CO_E_OBJNOTCONNECTED;

// Sends `service` to `target` through the module's broker connection, on the calling thread, with
// a copy of `parameters` (the caller keeps its own). `result` and `status` are cleared first and
// receive what the broker answers. Returns the HRESULT of the broker's request operation, or
// kNoBrokerConnection when the module holds no broker connection. Never throws: a failure of the
// broker itself is the caller's to turn into its own answer.
HRESULT SendBrokerRequest(const std::wstring& target, const std::wstring& service, const VARIANT& parameters,
                          ScopedVariant* result, ScopedVariant* status);

}  // namespace zel::media
