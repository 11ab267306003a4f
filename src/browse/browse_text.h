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

// A VT_BSTR VARIANT holding a copy of `text` (embedded NULs included).
ScopedVariant StringVariant(const std::wstring& text);

}  // namespace zel
