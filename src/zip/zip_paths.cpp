#include "zip/zip_paths.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

namespace zel::zip {
namespace {

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

bool EqualNoCase(const wchar_t* a, int a_length, const wchar_t* b, int b_length) {
  return ::CompareStringOrdinal(a, a_length, b, b_length, TRUE) == CSTR_EQUAL;
}

}  // namespace

std::wstring TemporaryFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length > MAX_PATH) return std::wstring();
  return std::wstring(folder, length);
}

bool MakeTemporaryArchiveName(std::wstring* path) {
  const std::wstring folder = TemporaryFolder();
  if (folder.empty()) return false;
  wchar_t name[MAX_PATH] = {};
  if (::GetTempFileNameW(folder.c_str(), L"ZuvO", 0, name) == 0) return false;
  *path = name;
  return true;
}

bool ModuleDataFolder(std::wstring* folder) {
  wchar_t path[MAX_PATH] = {};
  if (!::SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE)) return false;
  if (!::PathAppendW(path, L"RodEzeduduv")) return false;
  *folder = path;
  return true;
}

std::wstring CanonicalPath(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::wstring();
  std::vector<wchar_t> full(needed + 1);
  DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return std::wstring();
  std::wstring canonical(full.data(), length);
  needed = ::GetLongPathNameW(canonical.c_str(), nullptr, 0);
  if (needed > 0) {
    std::vector<wchar_t> long_form(needed + 1);
    length = ::GetLongPathNameW(canonical.c_str(), long_form.data(), static_cast<DWORD>(long_form.size()));
    if (length > 0 && length < long_form.size()) canonical.assign(long_form.data(), length);
  }
  return canonical;
}

bool IsInsideFolder(const std::wstring& path, const std::wstring& folder) {
  const std::wstring inner = CanonicalPath(path);
  const std::wstring outer = WithoutTrailingSeparators(CanonicalPath(folder));
  if (inner.empty() || outer.empty() || inner.size() <= outer.size() + 1) return false;
  if (inner[outer.size()] != L'\\') return false;
  return EqualNoCase(inner.c_str(), static_cast<int>(outer.size()), outer.c_str(), static_cast<int>(outer.size()));
}

bool IsContainedRelativePath(const std::wstring& name) {
  if (name.find(L':') != std::wstring::npos) return false;
  if (!name.empty() && (name[0] == L'\\' || name[0] == L'/')) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = name.size();
    const std::wstring piece = WithoutTrailingSeparators(name.substr(start, end - start));
    // Windows ignores trailing dots and blanks in a component, so "..." and ".. " are ".." too.
    const size_t kept = piece.find_last_not_of(L". ");
    if (!piece.empty() && kept == std::wstring::npos && piece.find(L"..") != std::wstring::npos) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace zel::zip
