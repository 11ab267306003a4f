#pragma once

#include <windows.h>

#include <string>
#include <string_view>

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

// The all-users application-data folder (created if missing), without a trailing backslash.
// Returns false when the shell cannot give it.
bool GetCommonAppDataFolder(std::wstring* folder);

}  // namespace zel
