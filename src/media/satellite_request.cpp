#include "media/satellite_request.h"

#include <comdef.h>

#include "common/module_log.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"

namespace zel::media {
namespace {

// Element 0 of the status as a 32-bit integer; the failure of that read is the code otherwise. The
// element type is checked against the array's own descriptor before anything is copied out.
LONG StatusCode(const VARIANT& status) {
  if ((V_VT(&status) & VT_ARRAY) == 0 || (V_VT(&status) & VT_BYREF) != 0 || V_ARRAY(&status) == nullptr ||
      ::SafeArrayGetDim(V_ARRAY(&status)) != 1) {
    return E_INVALIDARG;
  }
  SAFEARRAY* array = V_ARRAY(&status);
  VARTYPE type = VT_EMPTY;
  HRESULT hr = ::SafeArrayGetVartype(array, &type);
  if (FAILED(hr)) return hr;
  LONG index = 0;
  LONG code = 0;
  if (type == VT_I4) {
    hr = ::SafeArrayGetElement(array, &index, &code);
  } else if (type == VT_VARIANT) {
    ScopedVariant element;
    hr = ::SafeArrayGetElement(array, &index, element.Get());
    if (SUCCEEDED(hr) && element.Type() != VT_I4) hr = DISP_E_TYPEMISMATCH;
    if (SUCCEEDED(hr)) code = V_I4(element.Get());
  } else {
    hr = DISP_E_TYPEMISMATCH;
  }
  return FAILED(hr) ? hr : code;
}

// The part the three calls share: send, time, read the satellite's code.
LONG Request(const std::wstring& target, const std::wstring& operation, const VARIANT& parameters,
             ScopedVariant* result) {
  ScopedVariant status;
  const DWORD start = ::GetTickCount();
  const HRESULT hr = SendBrokerRequest(target, operation, parameters, result, &status);
  if (FAILED(hr)) _com_issue_error(hr);
  ModuleLog().Debug(L"Request GetMediumFromId returned in %dms", static_cast<int>(::GetTickCount() - start));
  return StatusCode(*status);
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
LONG RequestAnswer(const std::wstring& target, const std::wstring& operation, const VARIANT& parameters,
                   ScopedVariant* answer) {
  ScopedVariant result;
  const LONG code = Request(target, operation, parameters, &result);
  if (code != 0) return code;
  if (result.Type() != VUtil::kVariantArray) return -1;
  VUtil::GetElement(*result, 0, answer->Get());
  return 0;
}

}  // namespace

LONG MakeRecordRequest(const std::wstring& target, const std::wstring& operation, const VARIANT& parameters,
                       MediumRecord* record) {
  ScopedVariant answer;
  const LONG code = RequestAnswer(target, operation, parameters, &answer);
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

LONG MakeValueRequest(const std::wstring& target, const std::wstring& operation, const VARIANT& parameters,
                      VARIANT& value) {
  ScopedVariant answer;
  const LONG code = RequestAnswer(target, operation, parameters, &answer);
  if (code == 0) answer.ReleaseInto(value);
  return code;
}

LONG MakeStatusRequest(const std::wstring& target, const std::wstring& operation, const VARIANT& parameters) {
  ScopedVariant result;
  return Request(target, operation, parameters, &result);
}

}  // namespace zel::media
