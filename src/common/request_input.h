#pragma once

#include <windows.h>
#include <oleauto.h>

#include <optional>
#include <string>

#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/wide_error.h"

// The one vocabulary in which a request's input is decoded, once, into the typed values its
// service takes: strings told apart from null strings and absent elements, numbers converted
// exactly, nested lists. Every refusal raises WideError::Input with a fixed message naming what was
// wrong; the service's row turns it into the code its service answers for bad input. A VARIANT
// carrying VT_BYREF is never accepted where a type is required.
namespace zel::input {

// The messages of a refused input, kept as the module has always written them in its WARN lines.
inline constexpr const wchar_t* kNotVariantArray = L"Variant passed to VUtil::GetElement is not a variant array";
inline constexpr const wchar_t* kNoElement = L"SafeArrayGetElement failed in VUtil::GetElement";
inline constexpr const wchar_t* kNotString = L"Element is not a string";
inline constexpr const wchar_t* kLengthOfNoArray = L"Variant passed to VUtil::GetArrayLength is not an array";
inline constexpr const wchar_t* kNotZeroBased = L"Array is not zero indexed! (VUtil::GetArrayLength)";
inline constexpr const wchar_t* kWrongType = L"CheckType failed";
inline constexpr const wchar_t* kWrongShape = L"CheckArrayType failed";
inline constexpr const wchar_t* kNotStringList = L"Not an array of variant or string";

// A string element as the client sent it: absent (VT_EMPTY), a null BSTR, or a text (possibly
// empty). Clients tell a null string from an empty one, and satellites are sent the one they got.
class Text {
 public:
  enum class Form { kAbsent, kNull, kText };

  Text() = default;
  explicit Text(std::wstring value) : form_(Form::kText), value_(std::move(value)) {}
  static Text Null() {
    Text text;
    text.form_ = Form::kNull;
    return text;
  }
  // VT_EMPTY, or VT_BSTR (null or not); raises kNotString for anything else.
  static Text Of(const VARIANT& value);

  Form form() const noexcept { return form_; }
  // Absent or a null string: "no text", which the services answer 1 for where a text is required.
  bool Missing() const noexcept { return form_ != Form::kText; }
  // The text; "" when missing.
  const std::wstring& Value() const noexcept { return value_; }
  // The element again as it was sent (VT_EMPTY, a null BSTR or the text), for a satellite.
  ScopedVariant AsSent() const;

 private:
  Form form_ = Form::kAbsent;
  std::wstring value_;
};

// The value of a numeric VARIANT converted exactly to a 32-bit integer: VT_I1 to VT_UI8, VT_INT,
// VT_UINT, VT_R4/VT_R8 with an integral value, VT_DECIMAL, VT_CY and a BSTR that reads
// as such a number, as OLE Automation clients and script engines send numbers (a JavaScript
// number arrives as a double). Nothing for a value that does not fit or is not a whole number.
std::optional<LONG> ExactLong(const VARIANT& value);

// The elements of an input array, read in place under the array's data lock for as long as this
// object lives: nothing is copied, so a null string stays null. The array is not checked when the
// object is made; each read raises the message of what it found wrong. Elements are those of a
// one-dimensional array of VARIANT or of BSTR (a string array), addressed as SafeArrayGetElement
// addresses them (from the lower bound on).
class Elements {
 public:
  explicit Elements(const VARIANT& array);
  Elements(const Elements&) = delete;
  Elements& operator=(const Elements&) = delete;

  // The element count of a zero-based array of any element type; raises kLengthOfNoArray or
  // kNotZeroBased otherwise.
  LONG Length() const;
  // The element count of a readable zero-based array; nothing otherwise.
  std::optional<LONG> ZeroBasedLength() const noexcept;
  // Whether element `index` exists in an array of VARIANT or BSTR.
  bool Has(LONG index) const noexcept;

  // Element `index` of an array of VARIANT; raises kNotVariantArray or kNoElement.
  const VARIANT& At(LONG index) const;
  // Element `index` of an array of VARIANT as a string (VT_BSTR or VT_EMPTY); raises
  // kNotVariantArray, kNoElement or kNotString.
  Text VariantString(LONG index) const { return Text::Of(At(index)); }
  // As VariantString, and an element of a string array too; raises kNotStringList for an input that
  // is neither kind of array, kNoElement or kNotString.
  Text String(LONG index) const;
  // Element `index`, which must be VT_BSTR (null or not), of an array of VARIANT; raises
  // kNotVariantArray, kNoElement or kWrongType.
  Text ExactString(LONG index) const;

 private:
  const VARIANT& array_;
  VARTYPE element_type_ = VT_EMPTY;  // before sa_, which is made with it
  SAFEARRAY* sa_ = nullptr;          // null: not a one-dimensional array of VARIANT or BSTR
  LONG lower_ = 0;
  long long count_ = 0;
  SafeArrayDataLock lock_;
};

}  // namespace zel::input
