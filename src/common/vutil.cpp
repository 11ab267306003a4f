#include "common/vutil.h"

#include <cstring>

#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/text.h"

namespace zel::VUtil {
namespace {

[[noreturn]] void Raise(const wchar_t* message) { throw WideError(message); }

// The SAFEARRAY of `array` when it has one dimension and holds elements of `element_type`, as its
// own descriptor says; null otherwise. Checking the descriptor, not only the VARIANT's type, keeps a
// mislabelled array from being read with the wrong element size.
SAFEARRAY* OneDimensional(const VARIANT& array, VARTYPE element_type) {
  SAFEARRAY* sa = V_ARRAY(&array);
  if (sa == nullptr || ::SafeArrayGetDim(sa) != 1) return nullptr;
  VARTYPE actual = VT_EMPTY;
  if (FAILED(::SafeArrayGetVartype(sa, &actual)) || actual != element_type) return nullptr;
  return sa;
}

template <class T>
void GetTyped(const VARIANT& array, LONG index, VARTYPE element_type, const wchar_t* wrong_type, T* out) {
  if (V_VT(&array) != (VT_ARRAY | element_type)) Raise(wrong_type);
  SAFEARRAY* sa = OneDimensional(array, element_type);
  if (sa == nullptr || FAILED(::SafeArrayGetElement(sa, &index, out))) {
    Raise(L"SafeArrayGetElement failed in VUtil::GetElement");
  }
}

}  // namespace

void GetElement(const VARIANT& array, LONG index, VARIANT* out) {
  ::VariantClear(out);
  GetTyped(array, index, VT_VARIANT, L"Variant passed to VUtil::GetElement is not a variant array", out);
}

void GetElement(const VARIANT& array, LONG index, LONG* out) {
  GetTyped(array, index, VT_I4, L"Variant passed to VUtil::GetElement is not a long array", out);
}

void GetElement(const VARIANT& array, LONG index, BSTR* out) {
  ::SysFreeString(*out);
  *out = nullptr;
  GetTyped(array, index, VT_BSTR, L"Variant passed to VUtil::GetElement is not a string array", out);
}

LONG GetArrayLength(const VARIANT& array) {
  if ((V_VT(&array) & VT_ARRAY) == 0 || (V_VT(&array) & VT_BYREF) != 0) {
    Raise(L"Variant passed to VUtil::GetArrayLength is not an array");
  }
  LONG lower = 0;
  LONG upper = 0;
  if (FAILED(::SafeArrayGetLBound(V_ARRAY(&array), 1, &lower))) {
    Raise(L"SafeArrayGetLBound failed in VUtil::GetArrayLength");
  }
  if (lower != 0) Raise(L"Array is not zero indexed! (VUtil::GetArrayLength)");
  if (FAILED(::SafeArrayGetUBound(V_ARRAY(&array), 1, &upper))) {
    Raise(L"SafeArrayGetLBound failed in VUtil::GetArrayLength");
  }
  return upper + 1;
}

LONG GetLongElement(const VARIANT& array, LONG index) {
  if (V_VT(&array) == kLongArray) {
    LONG value = 0;
    GetElement(array, index, &value);
    return value;
  }
  if (V_VT(&array) != kVariantArray) Raise(L"Not an array of variant or long");
  ScopedVariant element;
  GetElement(array, index, element.Get());
  if (element.Type() != VT_I4) Raise(L"Element is not a long");
  return V_I4(element.Get());
}

std::wstring GetStringElement(const VARIANT& array, LONG index) {
  ScopedVariant element;
  if (V_VT(&array) == kStringArray) {
    element.SetNullString();
    GetElement(array, index, &V_BSTR(element.Get()));
  } else {
    if (V_VT(&array) != kVariantArray) Raise(L"Not an array of variant or string");
    GetElement(array, index, element.Get());
  }
  return StringOf(*element);
}

std::wstring StringOf(const VARIANT& value) {
  if (V_VT(&value) == VT_EMPTY) return std::wstring();
  if (V_VT(&value) != VT_BSTR) Raise(L"Element is not a string");
  const BSTR text = V_BSTR(&value);
  return std::wstring(text != nullptr ? text : L"", ::SysStringLen(text));
}

void CreateArray(VARIANT* out, VARTYPE element_type, LONG count) {
  SAFEARRAY* sa = count >= 0 ? ::SafeArrayCreateVector(element_type, 0, static_cast<ULONG>(count)) : nullptr;
  if (sa == nullptr) Raise(L"Could not create safe array");
  V_VT(out) = VT_ARRAY | element_type;
  V_ARRAY(out) = sa;
}

void RedimArray(VARIANT& array, LONG count) {
  SAFEARRAYBOUND bound{static_cast<ULONG>(count), 0};
  if ((V_VT(&array) & VT_ARRAY) == 0 || (V_VT(&array) & VT_BYREF) != 0 || count < 0 ||
      FAILED(::SafeArrayRedim(V_ARRAY(&array), &bound))) {
    Raise(L"Could not redimension safe array");
  }
}

void PutElement(VARIANT& array, LONG index, void* value) {
  SAFEARRAY* sa = (V_VT(&array) & VT_ARRAY) != 0 && (V_VT(&array) & VT_BYREF) == 0
                      ? OneDimensional(array, V_VT(&array) & ~VT_ARRAY)
                      : nullptr;
  if (sa == nullptr || FAILED(::SafeArrayPutElement(sa, &index, value))) Raise(L"SafeArrayPutElement failed");
}

void PutElement(VARIANT& array, LONG index, const VARIANT& value) {
  PutElement(array, index, const_cast<VARIANT*>(&value));
}

void PutBinaryIntoVariant(VARIANT* out, const void* data, size_t length) {
  ::VariantClear(out);
  SAFEARRAY* sa = length <= 0xFFFFFFFFu ? ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(length)) : nullptr;
  if (sa == nullptr) Raise(L"PutBinaryIntoVariant: could not create safe array");
  ScopedVariant bytes;
  V_VT(bytes.Get()) = kByteArray;
  V_ARRAY(bytes.Get()) = sa;
  if (length > 0) {
    SafeArrayDataLock lock(sa);
    if (!lock.Ok()) Raise(L"PutBinaryIntoVariant: could not create safe array");
    std::memcpy(lock.Data(), data, length);
  }
  bytes.ReleaseInto(*out);
}

void CheckType(const VARIANT& value, VARTYPE type) {
  if (V_VT(&value) != type) Raise(L"CheckType failed");
}

void CheckArrayType(const VARIANT& value, VARTYPE element_type, LONG count) {
  if (V_VT(&value) != (VT_ARRAY | element_type)) Raise(L"CheckArrayType failed");
  if (GetArrayLength(value) != count) Raise(L"CheckArrayType failed");
}

void CheckSingleRetcode(const VARIANT& status) {
  LONG code = -1;
  if ((V_VT(&status) & VT_ARRAY) != 0) {
    try {
      code = GetLongElement(status, 0);
    } catch (const WideError& error) {
      throw WideError(FormatWide(L"SafeArrayGetElement failed in VUtil::CheckSingleRetcode : '%s'",
                                 error.Message().c_str())
                          .substr(0, 255));
    }
  } else if (V_VT(&status) == VT_I4) {
    code = V_I4(&status);
  }
  if (code != 0) {
    throw WideError(FormatWide(L"Kro error detected in VUtil::CheckSingleRetcode : hr = %d - 0x%x", code,
                               static_cast<unsigned>(code)));
  }
}

}  // namespace zel::VUtil
