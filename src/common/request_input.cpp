#include "common/request_input.h"

namespace zel::input {
namespace {

[[noreturn]] void Refuse(const wchar_t* message) { throw WideError::Input(message); }

// The SAFEARRAY of `array` when it is one-dimensional and its own descriptor says it holds
// `element_type`: checking the descriptor, not only the VARIANT's type, keeps a mislabelled array
// from being read with the wrong element size.
SAFEARRAY* OneDimensional(const VARIANT& array, VARTYPE element_type) {
  if (V_VT(&array) != (VT_ARRAY | element_type)) return nullptr;
  SAFEARRAY* sa = V_ARRAY(&array);
  VARTYPE actual = VT_EMPTY;
  if (sa == nullptr || ::SafeArrayGetDim(sa) != 1 || FAILED(::SafeArrayGetVartype(sa, &actual)) ||
      actual != element_type) {
    return nullptr;
  }
  return sa;
}

SAFEARRAY* ReadableArray(const VARIANT& array, VARTYPE* element_type) {
  for (const VARTYPE type : {VARTYPE{VT_VARIANT}, VARTYPE{VT_BSTR}}) {
    if (SAFEARRAY* sa = OneDimensional(array, type)) {
      *element_type = type;
      return sa;
    }
  }
  return nullptr;
}

}  // namespace

Text Text::Of(const VARIANT& value) {
  if (V_VT(&value) == VT_EMPTY) return Text();
  if (V_VT(&value) != VT_BSTR) Refuse(kNotString);
  const BSTR text = V_BSTR(&value);
  return text == nullptr ? Null() : Text(std::wstring(text, ::SysStringLen(text)));
}

ScopedVariant Text::AsSent() const {
  ScopedVariant value;
  if (form_ == Form::kNull) value.SetNullString();
  if (form_ == Form::kText) value.SetString(value_);
  return value;
}

std::optional<LONG> ExactLong(const VARIANT& value) {
  switch (V_VT(&value)) {
    case VT_I4:
      return V_I4(&value);
    case VT_I1: case VT_I2: case VT_I8: case VT_INT: case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8:
    case VT_UINT: case VT_R4: case VT_R8: case VT_DECIMAL: case VT_CY:
      break;
    case VT_BSTR:
      if (V_BSTR(&value) == nullptr) return std::nullopt;
      break;
    default:
      return std::nullopt;
  }
  // The platform's conversion rounds, so a value is exact only when it survives the way back: a
  // double 2.5 becomes 2 (or 3) as a long, which compares unequal to 2.5.
  ScopedVariant as_long;
  if (FAILED(::VariantChangeType(as_long.Get(), const_cast<VARIANT*>(&value), 0, VT_I4))) return std::nullopt;
  ScopedVariant as_decimal;
  ScopedVariant original_decimal;
  if (FAILED(::VariantChangeType(as_decimal.Get(), as_long.Get(), 0, VT_DECIMAL)) ||
      FAILED(::VariantChangeType(original_decimal.Get(), const_cast<VARIANT*>(&value), 0, VT_DECIMAL)) ||
      ::VarDecCmp(&V_DECIMAL(as_decimal.Get()), &V_DECIMAL(original_decimal.Get())) != VARCMP_EQ) {
    return std::nullopt;
  }
  return V_I4(as_long.Get());
}

Elements::Elements(const VARIANT& array)
    : array_(array), sa_(ReadableArray(array, &element_type_)), lock_(sa_) {
  LONG upper = -1;
  if (sa_ == nullptr || !lock_.Ok() || FAILED(::SafeArrayGetLBound(sa_, 1, &lower_)) ||
      FAILED(::SafeArrayGetUBound(sa_, 1, &upper))) {
    sa_ = nullptr;
    return;
  }
  count_ = static_cast<long long>(upper) - lower_ + 1;
}

LONG Elements::Length() const {
  if ((V_VT(&array_) & VT_ARRAY) == 0 || (V_VT(&array_) & VT_BYREF) != 0) Refuse(kLengthOfNoArray);
  LONG lower = 0;
  LONG upper = 0;
  if (FAILED(::SafeArrayGetLBound(V_ARRAY(&array_), 1, &lower))) {
    Refuse(L"SafeArrayGetLBound failed in VUtil::GetArrayLength");
  }
  if (lower != 0) Refuse(kNotZeroBased);
  if (FAILED(::SafeArrayGetUBound(V_ARRAY(&array_), 1, &upper))) {
    Refuse(L"SafeArrayGetLBound failed in VUtil::GetArrayLength");
  }
  return upper + 1;
}

std::optional<LONG> Elements::ZeroBasedLength() const noexcept {
  if (sa_ == nullptr || lower_ != 0) return std::nullopt;
  return static_cast<LONG>(count_);
}

bool Elements::Has(LONG index) const noexcept {
  // In 64 bits: an array's bounds may lie anywhere in the 32-bit range, and so may the index.
  return sa_ != nullptr && index >= lower_ && static_cast<long long>(index) - lower_ < count_;
}

const VARIANT& Elements::At(LONG index) const {
  if (V_VT(&array_) != (VT_ARRAY | VT_VARIANT)) Refuse(kNotVariantArray);
  if (element_type_ != VT_VARIANT || !Has(index)) Refuse(kNoElement);
  return static_cast<const VARIANT*>(lock_.Data())[static_cast<long long>(index) - lower_];
}

Text Elements::String(LONG index) const {
  if (V_VT(&array_) == (VT_ARRAY | VT_BSTR)) {
    if (element_type_ != VT_BSTR || !Has(index)) Refuse(kNoElement);
    const BSTR text = static_cast<const BSTR*>(lock_.Data())[static_cast<long long>(index) - lower_];
    return text == nullptr ? Text::Null() : Text(std::wstring(text, ::SysStringLen(text)));
  }
  if (V_VT(&array_) != (VT_ARRAY | VT_VARIANT)) Refuse(kNotStringList);
  return VariantString(index);
}

Text Elements::ExactString(LONG index) const {
  const VARIANT& element = At(index);
  if (V_VT(&element) != VT_BSTR) Refuse(kWrongType);
  return Text::Of(element);
}

}  // namespace zel::input
