#include "media/satellite_request.h"

#include <comdef.h>

#include <utility>

#include "common/module_log.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"

namespace zel::media {
namespace {

// The part the three calls share: send, time, read the satellite's code.
LONG Request(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation,
             const VARIANT& parameters, ScopedVariant* result) {
  const DWORD start = ::GetTickCount();
  channel::BrokerChannel::Reply reply = channel.Send(target, operation, parameters);
  ModuleLog().Debug(L"Request GetMediumFromId returned in %dms", static_cast<int>(::GetTickCount() - start));
  *result = std::move(reply.result);
  return reply.Code();
}

// A record element handed out as a string: VT_BSTR (ownership moves out of `record`'s copy), or
// VT_EMPTY for a null string. Anything else is refused, never read as a string.
_bstr_t RecordString(const VARIANT& record, LONG index) {
  ScopedVariant element;
  VUtil::GetElement(record, index, element.Get());
  if (element.Type() == VT_EMPTY) return _bstr_t();
  if (element.Type() != VT_BSTR) throw WideError(L"Element is not a string");
  VARIANT owned = element.Release();
  return _bstr_t(V_BSTR(&owned), false);
}

// The answer of a request whose result must be an array of VARIANT: element 0 goes to `answer`
// when the code is 0.
LONG RequestAnswer(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation,
                   const VARIANT& parameters, ScopedVariant* answer) {
  ScopedVariant result;
  const LONG code = Request(channel, target, operation, parameters, &result);
  if (code != 0) return code;
  if (result.Type() != VUtil::kVariantArray) return -1;
  VUtil::GetElement(*result, 0, answer->Get());
  return 0;
}

}  // namespace

LONG MakeRecordRequest(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation,
                       const VARIANT& parameters, MediumRecord* record) {
  ScopedVariant answer;
  const LONG code = RequestAnswer(channel, target, operation, parameters, &answer);
  if (code != 0) return code;
  MediumRecord taken;
  taken.string0 = RecordString(*answer, 0);
  taken.string1 = RecordString(*answer, 1);
  const LONG length = VUtil::GetArrayLength(*answer);
  if (length > 3) taken.string3 = RecordString(*answer, 3);
  if (length > 4) taken.string4 = RecordString(*answer, 4);
  *record = std::move(taken);
  return 0;
}

LONG MakeValueRequest(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation,
                      const VARIANT& parameters, VARIANT& value) {
  ScopedVariant answer;
  const LONG code = RequestAnswer(channel, target, operation, parameters, &answer);
  if (code == 0) answer.ReleaseInto(value);
  return code;
}

LONG MakeStatusRequest(const channel::BrokerChannel& channel, const std::wstring& target, const std::wstring& operation,
                       const VARIANT& parameters) {
  ScopedVariant result;
  return Request(channel, target, operation, parameters, &result);
}

}  // namespace zel::media
