#pragma once

#include <windows.h>
#include <comutil.h>
#include <oaidl.h>

#include <string>

#include "channel/broker_channel.h"

namespace zel::media {

// The strings a medium record hands back: its elements 0, 1, 3 and 4. An element the record does
// not have stays a null string.
struct MediumRecord {
  _bstr_t string0;
  _bstr_t string1;
  _bstr_t string3;
  _bstr_t string4;
};

// The three ways a service forwards a request to a satellite through the broker channel. Each
// sends `operation` to `target` with a copy of `parameters` (the caller keeps its own), times the call,
// writes the one DEBUG line "Request GetMediumFromId returned in %dms", and returns:
//   0                  the satellite answered 0 (and, for the record and value calls, its result is
//                      an array of VARIANT);
//   the satellite's own non-zero code, unchanged;
//   -1                 a 0 answer whose result is not an array of VARIANT (record, value);
//   an HRESULT         element 0 of the status could not be read as a 32-bit integer.
// They take no lock; the caller must hold none of the module's locks.
//
// Two failures are raised instead of returned:
// - WideError: the result array has no element 0, or (record) the answer is not an array of
//   VARIANT with string elements 0 and 1 and, where present, 3 and 4 (an empty element counts as
//   a null string; any other type is refused). The calling service's row answers it with the
//   service's WARN line and -1.
// - _com_error: the broker's request operation itself failed, or there is no broker connection
//   (channel::BrokerChannel::kNotConnected). Services let it pass: the dispatcher writes a WARN line with the HRESULT
//   and makes it the return code. Services therefore write their output only after their last
//   request, so that such a failure leaves the output untouched.

// On 0, `*record` receives the record's strings; otherwise it is left as it was.
LONG MakeRecordRequest(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation, const VARIANT& parameters,
                       MediumRecord* record);

// On 0, `value` is cleared and receives a copy of the answer (element 0 of the result), which the
// caller owns; otherwise it is left as it was.
LONG MakeValueRequest(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation, const VARIANT& parameters,
                      VARIANT& value);

// The answer is discarded; the return code is all there is.
LONG MakeStatusRequest(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation, const VARIANT& parameters);

}  // namespace zel::media
