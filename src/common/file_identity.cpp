#include "common/file_identity.h"

#include "common/long_path.h"
#include "common/unique_handle.h"

namespace zel {

bool FileIndexOf(HANDLE handle, uint64_t* index) {
  using QueryInformationFile = LONG(WINAPI*)(HANDLE, void* status, void* information, ULONG size, ULONG kind);
  static const auto query = reinterpret_cast<QueryInformationFile>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  constexpr ULONG kFileInternalInformation = 6;
  struct {
    void* status;
    ULONG_PTR information;
  } io{};  // IO_STATUS_BLOCK
  LARGE_INTEGER value{};
  if (query == nullptr || query(handle, &io, &value, sizeof(value), kFileInternalInformation) < 0) return false;
  *index = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool IdentityOf(HANDLE handle, FileIdentity* identity) {
  DWORD serial = 0;
  if (!::GetVolumeInformationByHandleW(handle, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) return false;
  identity->volume = serial;
  return FileIndexOf(handle, &identity->index);
}

std::optional<FileIdentity> IdentityOf(const std::wstring& path) {
  // No access asked for: attributes and ids need none. Backup semantics open folders; links are
  // followed to what they lead to.
  UniqueFile opened(::CreateFileW(ExtendedLengthPath(path).c_str(), 0,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  FileIdentity identity;
  if (!opened || !IdentityOf(opened.Get(), &identity)) return std::nullopt;
  return identity;
}

bool FileIdentities::Of(const std::wstring& path, HANDLE file, FileIdentity* identity) {
  const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  const auto known = volumes_.find(folder);
  if (known == volumes_.end()) {
    if (!IdentityOf(file, identity)) return false;
    volumes_.emplace(folder, identity->volume);
    return true;
  }
  identity->volume = known->second;
  return FileIndexOf(file, &identity->index);
}

}  // namespace zel
