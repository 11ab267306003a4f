#include "support/registry_scope.h"

#include <utility>

#include "common/unique_handle.h"

namespace zeltest {

RegistryKeyScope::RegistryKeyScope(HKEY root, std::wstring key) : root_(root), key_(std::move(key)) {
  zel::UniqueRegKey handle;
  existed_ = ::RegOpenKeyExW(root_, key_.c_str(), 0, KEY_READ, handle.Receive()) == ERROR_SUCCESS;
  if (existed_) saved_ = ReadValues(handle.Get());
}

RegistryKeyScope::~RegistryKeyScope() {
  existed_ ? ClearValues() : RemoveKey();  // saved_ is empty when the key did not exist
  for (const Value& value : saved_) Set(value.name, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
}

std::vector<RegistryKeyScope::Value> RegistryKeyScope::ReadValues(HKEY key) {
  std::vector<Value> values;
  DWORD longest_name = 0, largest_data = 0;
  ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest_name, &largest_data,
                     nullptr, nullptr);
  for (DWORD index = 0;; ++index) {
    std::wstring name(longest_name + 1, L'\0');
    DWORD name_chars = longest_name + 1, size = largest_data + 1;
    Value value{{}, REG_NONE, std::vector<BYTE>(size)};
    if (::RegEnumValueW(key, index, name.data(), &name_chars, nullptr, &value.type, value.data.data(), &size)) return values;
    value.name = name.substr(0, name_chars);
    value.data.resize(size);
    values.push_back(std::move(value));
  }
}

void RegistryKeyScope::Set(const std::wstring& name, DWORD type, const void* data, DWORD size) {
  ::RegSetKeyValueW(root_, key_.c_str(), name.c_str(), type, data, size);
}

void RegistryKeyScope::SetString(const std::wstring& name, const std::wstring& text, DWORD type) {
  Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void RegistryKeyScope::SetDword(const std::wstring& name, DWORD value) { Set(name, REG_DWORD, &value, sizeof(value)); }

void RegistryKeyScope::Remove(const std::wstring& name) { ::RegDeleteKeyValueW(root_, key_.c_str(), name.c_str()); }

void RegistryKeyScope::ClearValues() {
  zel::UniqueRegKey handle;
  if (::RegOpenKeyExW(root_, key_.c_str(), 0, KEY_ALL_ACCESS, handle.Receive()) != ERROR_SUCCESS) return;
  for (const Value& value : ReadValues(handle.Get())) ::RegDeleteValueW(handle.Get(), value.name.c_str());
}

void RegistryKeyScope::RemoveKey() { ::RegDeleteTreeW(root_, key_.c_str()); }

}  // namespace zeltest
