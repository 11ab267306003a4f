#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "common/scoped_variant.h"
#include "common/vutil.h"
#include "common/wide_error.h"

// The answers of the zip services: two-element VARIANT arrays of strings and numbers.
namespace zel::zip::answers {

inline ScopedVariant Bstr(const std::wstring& text) {
  ScopedVariant string;
  V_VT(string.Get()) = VT_BSTR;
  V_BSTR(string.Get()) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (V_BSTR(string.Get()) == nullptr) throw WideError(L"out of memory for a string");
  return string;
}

inline ScopedVariant I4(LONG value) {
  ScopedVariant number;
  V_VT(number.Get()) = VT_I4;
  V_I4(number.Get()) = value;
  return number;
}

inline ScopedVariant I8(long long value) {
  ScopedVariant number;
  V_VT(number.Get()) = VT_I8;
  V_I8(number.Get()) = value;
  return number;
}

// Replaces `output` with [first, second].
inline void PutPair(VARIANT& output, const ScopedVariant& first, const ScopedVariant& second) {
  ScopedVariant result;
  VUtil::CreateArray(result.Get(), VT_VARIANT, 2);
  VUtil::PutElement(*result, 0, *first);
  VUtil::PutElement(*result, 1, *second);
  result.ReleaseInto(output);
}

}  // namespace zel::zip::answers
