#include "files/host_config.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/answer.h"
#include "common/module_log.h"
#include "common/product_folders.h"
#include "common/unique_handle.h"
#include "common/wide_error.h"

namespace zel::files {
namespace {

constexpr const wchar_t* kConfigKey = L"Software\\Rod Ezeduduv\\Zel\\Config";
constexpr DWORD kValueNameChars = 256;  // names of up to 255 characters

// The text of one configuration value: REG_SZ as it stands, REG_DWORD as a signed number.
std::wstring ConfigText(DWORD type, const BYTE* data, DWORD size) {
  if (type == REG_SZ) {
    const auto* text = reinterpret_cast<const wchar_t*>(data);
    return std::wstring(text, wcsnlen(text, size / sizeof(wchar_t)));
  }
  if (type == REG_DWORD && size >= sizeof(DWORD)) {
    DWORD value = 0;
    std::memcpy(&value, data, sizeof(value));
    return std::to_wstring(static_cast<LONG>(value));
  }
  return std::wstring();
}

ScopedVariant BuildConfigArray(const std::map<std::wstring, std::wstring>& values) {
  answer::ArrayBuilder array(static_cast<LONG>(values.size()));
  LONG index = 0;
  for (const auto& [name, text] : values) array.Set(index++, answer::StringArray({name, text}));
  return array.Finish();
}

}  // namespace

LONG GetZelDataFolder(VARIANT& output) {
  const std::optional<std::wstring> folder = GetProductFolder(ProductFolder::kData);
  if (!folder) return 1;
  answer::String(*folder).ReleaseInto(output);
  return 0;
}

LONG GetZelConfig(VARIANT& output) {
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return 0;
  DWORD largest_data = 0;
  if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &largest_data, nullptr, nullptr) != ERROR_SUCCESS) {
    return 0;
  }
  std::vector<BYTE> data(std::max<DWORD>(largest_data, 1));
  std::map<std::wstring, std::wstring> values;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kValueNameChars];
    DWORD name_chars = kValueNameChars;
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(data.size());
    if (::RegEnumValueW(key.Get(), index, name, &name_chars, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
      break;
    }
    values[std::wstring(name, name_chars)] = ConfigText(type, data.data(), size);
  }
  ScopedVariant answer;
  if (!values.empty()) answer = BuildConfigArray(values);
  answer.ReleaseInto(output);
  return 0;
}

}  // namespace zel::files
