#include "zip/zip_paths.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <vector>

namespace zel::zip {
namespace {

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

bool EqualNoCase(const wchar_t* a, size_t a_length, const wchar_t* b, size_t b_length) {
  return ::CompareStringOrdinal(a, static_cast<int>(a_length), b, static_cast<int>(b_length), TRUE) == CSTR_EQUAL;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.compare(0, wcslen(prefix), prefix) == 0; }

}  // namespace

bool IsBoundedClientPath(const std::wstring& path) {
  return path.size() <= kMaxClientPath && path.find(L'\0') == std::wstring::npos;
}

std::wstring TemporaryFolder() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH, folder);
  if (length == 0 || length > MAX_PATH) return std::wstring();
  return std::wstring(folder, length);
}

bool IsArchiveFileName(const std::wstring& name) {
  static const wchar_t kStem[] = L"Zuv";
  static const wchar_t kSuffix[] = L".tmp";
  if (name.size() < 3 + 1 + 4 || name.size() > 3 + 4 + 4) return false;
  const size_t digits = name.size() - 3 - 4;
  if (!EqualNoCase(name.c_str(), 3, kStem, 3) || !EqualNoCase(name.c_str() + 3 + digits, 4, kSuffix, 4)) return false;
  for (size_t i = 3; i < 3 + digits; ++i) {
    if (!iswxdigit(name[i])) return false;
  }
  return true;
}

bool CreateTemporaryArchive(std::wstring* path, UniqueFile* file) {
  const std::wstring folder = TemporaryFolder();
  if (folder.empty()) return false;
  // GetTempFileNameW with a number of ours only spells the name; the file is created here, and
  // only if no file of that name exists. Asked to pick the number itself, it hands back a name in
  // use once every name is taken.
  const UINT start = (::GetTickCount() ^ ::GetCurrentThreadId()) & 0xFFFF;
  for (UINT i = 0; i < 0xFFFF; ++i) {
    const UINT number = (start + i) % 0xFFFF + 1;
    wchar_t name[MAX_PATH] = {};
    if (::GetTempFileNameW(folder.c_str(), L"ZuvO", number, name) == 0) return false;
    UniqueFile created(::CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
    if (created) {
      *path = name;
      *file = std::move(created);
      return true;
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS && error != ERROR_SHARING_VIOLATION &&
        error != ERROR_ACCESS_DENIED) {
      return false;  // a full disk or a folder we may not write: every other name fails alike
    }
  }
  ::SetLastError(ERROR_FILE_EXISTS);
  return false;
}

std::wstring FinalPathOf(HANDLE handle) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  DWORD length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  if (length >= buffer.size()) {
    buffer.resize(length + 1);
    length = ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), FILE_NAME_NORMALIZED);
  }
  if (length == 0 || length >= buffer.size()) return std::wstring();
  std::wstring path(buffer.data(), length);
  if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\" + path.substr(7);
  if (StartsWith(path, L"\\\\?\\")) return path.substr(4);
  return path;
}

std::wstring FinalFolderPath(const std::wstring& folder) {
  UniqueFile opened(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return opened ? WithoutTrailingSeparators(FinalPathOf(opened.Get())) : std::wstring();
}

bool IsFinalPathInside(const std::wstring& inner, const std::wstring& outer) {
  const std::wstring folder = WithoutTrailingSeparators(outer);
  if (inner.empty() || folder.empty() || inner.size() <= folder.size() + 1 || inner[folder.size()] != L'\\') return false;
  return EqualNoCase(inner.c_str(), folder.size(), folder.c_str(), folder.size());
}

bool IsContainedRelativePath(const std::wstring& name) {
  if (name.find(L':') != std::wstring::npos) return false;
  if (StartsWith(name, L"\\\\") || StartsWith(name, L"/")) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = name.size();
    const std::wstring piece = name.substr(start, end - start);
    // Windows ignores trailing dots and blanks in a component, so "..." and ".. " are ".." too.
    const size_t kept = piece.find_last_not_of(L". ");
    if (!piece.empty() && kept == std::wstring::npos && piece.find(L"..") != std::wstring::npos) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace zel::zip
