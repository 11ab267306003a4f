#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace zel {

// UTF-16 <-> UTF-8 and ANSI code-page conversions. Invalid input never fails: unpaired
// surrogates become U+FFFD, as WideCharToMultiByte does.
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);
std::string WideToAnsi(std::wstring_view text);
std::wstring AnsiToWide(std::string_view text);

// printf into a std::wstring with the Windows runtime's wide conventions ("%s" is a wide string,
// "%hs" a narrow one, "%I64d" a 64-bit integer).
std::wstring FormatWide(const wchar_t* format, ...);
std::wstring FormatWideV(const wchar_t* format, va_list args);

// `text` in lower case (the platform's Unicode case mapping, not the C locale's).
std::wstring LowerCase(std::wstring text);

// Cuts `text` at every `separator`: empty pieces are kept, a separator at the very end adds one
// empty piece, and an empty text gives an empty list ("a,,b" is a, "" and b; "a," is a and "").
std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator = L',');

}  // namespace zel
