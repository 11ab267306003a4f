#include "common/registry.h"

#include <cwchar>
#include <vector>

#include "common/unique_handle.h"

namespace zel {

std::optional<std::wstring> ReadRegistryString(HKEY root, const wchar_t* key_name, const wchar_t* value,
                                               DWORD max_bytes, RegistryTerminator terminator) {
  UniqueRegKey key;
  if (::RegOpenKeyExW(root, key_name, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (::RegQueryValueExW(key.Get(), value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size > max_bytes) {
    return std::nullopt;
  }
  std::vector<wchar_t> text(max_bytes / sizeof(wchar_t) + 1, L'\0');
  size = max_bytes;
  if (::RegQueryValueExW(key.Get(), value, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::nullopt;
  }
  const size_t chars = size / sizeof(wchar_t);
  const size_t length = wcsnlen(text.data(), chars);
  if (length == chars && size >= max_bytes) return std::nullopt;  // no room was left for a terminator
  if (terminator == RegistryTerminator::kRequired && (chars == 0 || text[chars - 1] != L'\0')) return std::nullopt;
  return std::wstring(text.data(), length);
}

std::optional<DWORD> ReadRegistryDword(HKEY root, const wchar_t* key_name, const wchar_t* value) {
  UniqueRegKey key;
  if (::RegOpenKeyExW(root, key_name, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (::RegQueryValueExW(key.Get(), value, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(data)) {
    return std::nullopt;
  }
  return data;
}

}  // namespace zel
