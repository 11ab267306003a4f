#pragma once

#include <string>
#include <vector>

#include "common/scoped_variant.h"

namespace zel {

// `text` in lower case (the platform's Unicode case mapping, not the C locale's).
std::wstring LowerCase(std::wstring text);

// Cuts `text` at every `separator`: empty pieces are kept, a separator at the very end adds one
// empty piece, and an empty text gives an empty list ("a,,b" is a, "" and b; "a," is a and "").
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator = L',');

// Moves `value` into element `index` of the VARIANT array `array` (whatever was there is cleared):
// as VUtil::PutElement, without copying the value. Large answers are arrays of arrays, and copying
// each level into the next would copy every string once per level. Raises WideError
// "SafeArrayPutElement failed" when the element cannot be reached.
void MoveElement(VARIANT& array, LONG index, ScopedVariant& value);

}  // namespace zel
