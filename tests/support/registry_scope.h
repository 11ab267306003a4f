#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zeltest {

// Saves every value of one registry key (and whether the key exists) and puts them back at the end
// of the scope, so that a test may set, remove and clear values as it likes. Subkeys are left alone
// unless the key did not exist before, in which case the whole key is removed again.
class RegistryKeyScope {
 public:
  RegistryKeyScope(HKEY root, std::wstring key);
  ~RegistryKeyScope();
  RegistryKeyScope(const RegistryKeyScope&) = delete;
  RegistryKeyScope& operator=(const RegistryKeyScope&) = delete;

  void Set(const std::wstring& name, DWORD type, const void* data, DWORD size);
  void SetString(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ);
  void SetDword(const std::wstring& name, DWORD value);
  void Remove(const std::wstring& name);
  // Removes every value of the key (the key stays).
  void ClearValues();
  // Removes the key with its subkeys.
  void RemoveKey();

 private:
  struct Value {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
  };
  static std::vector<Value> ReadValues(HKEY key);

  HKEY root_;
  std::wstring key_;
  bool existed_ = false;
  std::vector<Value> saved_;
};

}  // namespace zeltest
