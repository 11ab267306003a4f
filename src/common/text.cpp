#include "common/text.h"

#include <shlobj.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

namespace zel {
namespace {

std::string WideToCodePage(UINT code_page, std::wstring_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int needed = ::WideCharToMultiByte(code_page, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string out(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(code_page, 0, text.data(), length, out.data(), needed, nullptr, nullptr);
  return out;
}

std::wstring CodePageToWide(UINT code_page, std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring out(static_cast<size_t>(needed), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(), length, out.data(), needed);
  return out;
}

}  // namespace

std::string WideToUtf8(std::wstring_view text) { return WideToCodePage(CP_UTF8, text); }
std::wstring Utf8ToWide(std::string_view text) { return CodePageToWide(CP_UTF8, text); }
std::string WideToAnsi(std::wstring_view text) { return WideToCodePage(CP_THREAD_ACP, text); }
std::wstring AnsiToWide(std::string_view text) { return CodePageToWide(CP_THREAD_ACP, text); }

std::wstring FormatWideV(const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    const int written = _vsnwprintf(buffer.data(), buffer.size() - 1, format, copy);
    va_end(copy);
    if (written >= 0) return std::wstring(buffer.data(), static_cast<size_t>(written));
    if (buffer.size() >= (1u << 24)) return std::wstring(buffer.data(), buffer.size() - 1);
    buffer.resize(buffer.size() * 4);
  }
}

std::wstring FormatWide(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring out = FormatWideV(format, args);
  va_end(args);
  return out;
}

bool GetCommonAppDataFolder(std::wstring* folder) {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path))) {
    return false;
  }
  *folder = path;
  while (!folder->empty() && folder->back() == L'\\') folder->pop_back();
  return true;
}

}  // namespace zel
