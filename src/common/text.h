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
// `text` read in `code_page` (CP_UTF8, 1252, 932, ...); empty when the platform cannot convert it.
std::wstring CodePageToWide(UINT code_page, std::string_view text);

// Whether `text` is well-formed UTF-8: no stray or missing continuation bytes, no overlong forms,
// no surrogates, nothing past U+10FFFF. Pure ASCII is.
bool IsUtf8(std::string_view text);
// The length of `text` without the UTF-8 character its end cut short (a lead byte with fewer than
// its continuation bytes after it); text.size() when it ends whole or is not UTF-8 there.
size_t WithoutCutUtf8End(std::string_view text);
// Text of unknown origin: UTF-8 when it is well-formed UTF-8 (what this product writes), else the
// ANSI code page (what older writers used). A legacy text that happens to be well-formed UTF-8 is
// rare: its bytes above 0x7F would have to pair up exactly as UTF-8's do.
std::wstring Utf8OrAnsiToWide(std::string_view text);

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
