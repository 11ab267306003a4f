#pragma once

#include <windows.h>
#include <oaidl.h>

#include <initializer_list>
#include <string>

#include "common/scoped_variant.h"

namespace zel::media {

// A string element of a service input, kept as the VARIANT it was (VT_BSTR, or VT_EMPTY), so that
// it can travel on to a satellite unchanged.
struct StringArg {
  ScopedVariant value;

  // An absent string: VT_EMPTY or a null BSTR.
  bool Missing() const noexcept;
  // The text; "" when missing.
  std::wstring Text() const;
};

// Element `index` of `input`, which must be an array of VARIANT holding a string there. Raises
// WideError when `input` is not such an array, lacks the element, or the element is neither a
// string nor empty: a non-string is never read as a string.
StringArg ReadStringArg(const VARIANT& input, LONG index);

// A new zero-based array of VARIANT holding copies of `items`, in order. Raises WideError.
ScopedVariant VariantArray(std::initializer_list<const VARIANT*> items);

}  // namespace zel::media
