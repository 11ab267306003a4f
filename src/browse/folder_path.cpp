#include "browse/folder_path.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <vector>

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

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

// "D:" alone or followed by a backslash.
bool IsDriveRooted(const std::wstring& path) {
  return path.size() >= 2 && std::iswalpha(path[0]) && path[1] == L':' && (path.size() == 2 || path[2] == L'\\');
}

// The segments of `path` between backslashes, without empty and "." ones, each ".." taking back
// the segment before it (none left: it is dropped).
std::vector<std::wstring> Segments(const std::wstring& path) {
  std::vector<std::wstring> segments;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find(L'\\', start), path.size());
    const std::wstring segment = path.substr(start, end - start);
    if (segment == L"..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != L".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  return segments;
}

std::wstring Joined(std::wstring root, const std::vector<std::wstring>& segments) {
  for (const std::wstring& segment : segments) {
    if (root.back() != L'\\') root += L'\\';
    root += segment;
  }
  return root;
}

}  // namespace

std::wstring NormalizeFolderPath(const std::wstring& path) {
  size_t first = 0;
  while (first < path.size() && std::iswspace(path[first])) ++first;
  const std::wstring text = path.substr(first);
  std::wstring slashed = text;
  for (wchar_t& c : slashed) {
    if (c == L'/') c = L'\\';
  }
  if (StartsWith(slashed, L"\\\\?\\UNC\\")) {
    slashed = L"\\\\" + slashed.substr(8);
  } else if (StartsWith(slashed, L"\\\\?\\") && IsDriveRooted(slashed.substr(4))) {
    slashed = slashed.substr(4);
  }
  if (IsDriveRooted(slashed)) return Joined(slashed.substr(0, 2) + L"\\", Segments(slashed.substr(2)));
  if (!StartsWith(slashed, L"\\\\") || slashed.size() < 3 || slashed[2] == L'?' || slashed[2] == L'.') return text;
  // A share: "\\server\share" is its root, which ".." does not climb above.
  const std::wstring rest = slashed.substr(2);
  const size_t server_end = rest.find(L'\\');
  const size_t share_start = server_end == std::wstring::npos ? server_end : rest.find_first_not_of(L'\\', server_end);
  if (server_end == 0 || share_start == std::wstring::npos) return text;
  const size_t share_end = std::min(rest.find(L'\\', share_start), rest.size());
  const std::wstring server = rest.substr(0, server_end);
  const std::wstring share = rest.substr(share_start, share_end - share_start);
  if (server == L"." || server == L".." || share == L"." || share == L"..") return text;
  return Joined(L"\\\\" + server + L"\\" + share, Segments(rest.substr(share_end)));
}

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
  if (open == std::wstring::npos) return NormalizeFolderPath(path);
  const size_t close = path.find(L'%', open + 1);
  if (close == std::wstring::npos) return NormalizeFolderPath(path);
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
  return NormalizeFolderPath(result);
}

}  // namespace zel::browse
