#include "common/product_folders.h"

#include <windows.h>
#include <shlobj.h>

namespace zel {
namespace {

constexpr const wchar_t* kDataFolderName = L"RodEzeduduv";

std::optional<std::wstring> CommonAppDataFolder() {
  wchar_t path[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path))) {
    return std::nullopt;
  }
  std::wstring folder = path;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  return folder;
}

}  // namespace

std::optional<std::wstring> GetProductFolder(ProductFolder which) {
  std::optional<std::wstring> folder = CommonAppDataFolder();
  if (!folder) return std::nullopt;
  *folder += L'\\';
  *folder += kDataFolderName;
  ::CreateDirectoryW(folder->c_str(), nullptr);
  if (which == ProductFolder::kData) return folder;
  *folder += which == ProductFolder::kLogs ? L"\\Logs" : L"\\Zel";
  ::CreateDirectoryW(folder->c_str(), nullptr);
  return folder;
}

}  // namespace zel
