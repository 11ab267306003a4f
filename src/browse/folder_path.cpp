#include "browse/folder_path.h"

#include <cwchar>

#include "browse/shell_names.h"

namespace zel::browse {
namespace {

struct VirtualFolder {
  const wchar_t* token;
  int csidl;
};

constexpr VirtualFolder kVirtualFolders[] = {
    {L"COMMON_DOCUMENTS", 46}, {L"COMMON_MUSIC", 53}, {L"COMMON_PICTURES", 54}, {L"COMMON_VIDEO", 55},
    {L"MYDOCUMENTS", 5},       {L"MYMUSIC", 13},      {L"MYPICTURES", 39},      {L"MYVIDEO", 14},
    {L"DESKTOP", 0},           {L"COMMON_APPDATA", 35}, {L"DRIVES", 17},        {L"NETWORK", 18},
};

std::wstring UpperCase(std::wstring text) {
  if (!text.empty()) ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

}  // namespace

std::wstring SpecialFolderLocation(int csidl) {
  IMallocPtr allocator;
  if (FAILED(::SHGetMalloc(&allocator))) return std::wstring();
  ShellIdList location(allocator);
  IShellFolderPtr desktop;
  if (FAILED(::SHGetFolderLocation(nullptr, csidl, nullptr, 0, location.Receive())) || location.Get() == nullptr ||
      FAILED(::SHGetDesktopFolder(&desktop))) {
    return std::wstring();
  }
  return DisplayNameOf(desktop, location.Get(), SHGDN_FORPARSING);
}

std::wstring ResolveFolderPath(const std::wstring& path) {
  const size_t open = path.find(L'%');
  if (open == std::wstring::npos) return path;
  const size_t close = path.find(L'%', open + 1);
  if (close == std::wstring::npos) return path;
  const std::wstring token = UpperCase(path.substr(open + 1, close - open - 1));

  std::wstring result = path;
  int csidl = -1;
  bool found = false;
  for (const VirtualFolder& folder : kVirtualFolders) {
    if (token == folder.token) {
      csidl = folder.csidl;
      found = true;
      break;
    }
  }
  // The numeric form is read from the start of the whole path, as the token "%CSIDL_38%" there.
  if (!found) found = std::swscanf(path.c_str(), L"%%CSIDL_%d%%", &csidl) == 1;
  // A folder the shell cannot locate leaves the path as it came, which then lists nothing: with an
  // empty location the text around the token could name the desktop, and a recursive request would
  // list every disk of the machine.
  const std::wstring location = found ? SpecialFolderLocation(csidl) : std::wstring();
  if (!location.empty()) result = path.substr(0, open) + location + path.substr(close + 1);
  if (token == L"MYCOMPUTER") result = kMyComputerPath;
  return result;
}

}  // namespace zel::browse
