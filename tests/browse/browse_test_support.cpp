#include "browse_test_support.h"

#include <comdef.h>
#include <shlobj.h>

#include "common/long_path.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "support/test_support.h"

_COM_SMARTPTR_TYPEDEF(IShellLinkW, __uuidof(IShellLinkW));
_COM_SMARTPTR_TYPEDEF(IPersistFile, __uuidof(IPersistFile));

namespace browsetest {

std::wstring Make(const std::wstring& root, const std::wstring& relative, const std::string& bytes) {
  std::wstring path = root;
  size_t start = 0;
  for (size_t slash; (slash = relative.find(L'\\', start)) != std::wstring::npos; start = slash + 1) {
    path = root + L"\\" + relative.substr(0, slash);
    ::CreateDirectoryW(zel::ExtendedLengthPath(path).c_str(), nullptr);
  }
  if (start == relative.size()) return path;
  path = root + L"\\" + relative;
  zel::UniqueFile file(
      ::CreateFileW(zel::ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file && !bytes.empty()) ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return path;
}

bool SetTimes(const std::wstring& path, const SYSTEMTIME& written, const SYSTEMTIME& other) {
  FILETIME write_time, other_time;
  // Backup semantics: folders open this way too.
  zel::UniqueFile file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return ::SystemTimeToFileTime(&written, &write_time) && ::SystemTimeToFileTime(&other, &other_time) &&
         ::SetFileTime(file.Get(), &other_time, &other_time, &write_time);
}

bool MakeShortcut(const std::wstring& link, const std::wstring& target) {
  IShellLinkWPtr shell_link;
  IPersistFilePtr file;
  return SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                      reinterpret_cast<void**>(&shell_link))) &&
         SUCCEEDED(shell_link->SetPath(target.c_str())) &&
         SUCCEEDED(shell_link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
         SUCCEEDED(file->Save(link.c_str(), TRUE));
}

namespace {

bool IsLink(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Under Wine a Windows program can start a Unix program, and Wine shows a Unix symbolic link as a
// reparse point.
bool MakeUnixLink(const std::wstring& link, const std::wstring& target) {
  using UnixName = char* (*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixName>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
  if (unix_name == nullptr) return false;
  char* unix_link = unix_name(link.c_str());
  char* unix_target = unix_name(target.c_str());
  bool made = false;
  if (unix_link != nullptr && unix_target != nullptr) {
    std::wstring command = L"/bin/ln -s \"" + zel::Utf8ToWide(unix_target) + L"\" \"" + zel::Utf8ToWide(unix_link) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                         &process)) {
      zel::UniqueKernelHandle process_handle(process.hProcess), thread_handle(process.hThread);
      // A Unix process's handle cannot be waited for: watch for the link instead.
      for (int i = 0; i < 200 && !made; ++i) {
        made = IsLink(link);
        if (!made) ::Sleep(25);
      }
    }
  }
  ::HeapFree(::GetProcessHeap(), 0, unix_link);
  ::HeapFree(::GetProcessHeap(), 0, unix_target);
  return made;
}

}  // namespace

bool MakeFolderLink(const std::wstring& link, const std::wstring& target) {
  if (::CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && IsLink(link)) return true;
  return MakeUnixLink(link, target);
}

const char* const kExtensionScript = R"({"ZidAvaraV2": {"GetExtensions": [
    {"when": ["req", "audio"], "rc": 0, "answer": [".mp3", 7, ".ogg", ".flac"]},
    {"when": ["req", "video"], "rc": 0, "answer": [".ogg", ".mp4"]},
    {"when": ["req", "photo"], "rc": 0, "answer": [".jpg", ".pdf"]},
    {"when": ["req", "document"], "rc": 0, "answer": [".pdf", ".txt"]}]}})";

}  // namespace browsetest
