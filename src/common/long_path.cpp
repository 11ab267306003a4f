#include "common/long_path.h"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace zel {
namespace {

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveAbsolute(const std::wstring& path) {
  return path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && IsSlash(path[2]);
}

// "\\server\share...", but not "\\?\" or "\\.\" (device and extended forms).
bool IsShare(const std::wstring& path) {
  return path.size() >= 3 && IsSlash(path[0]) && IsSlash(path[1]) && path[2] != L'?' && path[2] != L'.';
}

}  // namespace

std::wstring ExtendedLengthPath(const std::wstring& path) {
  if (!IsDriveAbsolute(path) && !IsShare(path)) return path;
  const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return path;
  std::vector<wchar_t> full(needed + 1);
  const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  const std::wstring normal(full.data(), length);
  return IsShare(normal) ? L"\\\\?\\UNC\\" + normal.substr(2) : L"\\\\?\\" + normal;
}

std::wstring FileSystemPath(const std::wstring& path) {
  return path.size() < MAX_PATH ? path : ExtendedLengthPath(path);
}

}  // namespace zel
