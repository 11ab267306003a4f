#include "browse/file_tools.h"

#include <comdef.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <ctime>

#include "browse/extension_map.h"
#include "common/long_path.h"
#include "common/text.h"
#include "common/unique_handle.h"

_COM_SMARTPTR_TYPEDEF(IShellLinkW, __uuidof(IShellLinkW));
_COM_SMARTPTR_TYPEDEF(IPersistFile, __uuidof(IPersistFile));

namespace zel::browse {
namespace {

constexpr LONGLONG kUnixEpochAsFileTime = 116444736000000000LL;
constexpr LONGLONG kTicksPerSecond = 10000000;

// A file time (100 ns units since 1601) as seconds since 1970, rounded down: a time before 1970
// is negative, and 1969-12-31 23:59:59.5 stays in 1969.
__time64_t UnixSeconds(LONGLONG file_time) {
  const LONGLONG ticks = file_time - kUnixEpochAsFileTime;
  return ticks / kTicksPerSecond - (ticks % kTicksPerSecond < 0 ? 1 : 0);
}

// Seconds since 1970 as local calendar time. Through the platform's file times rather than the
// runtime's _localtime64_s, which knows nothing before 1970 (old scans and camera files carry
// such dates) or after 3000: any time from 1601 to 30827 converts.
std::optional<SYSTEMTIME> LocalCalendar(__time64_t seconds) {
  constexpr LONGLONG kLowest = -kUnixEpochAsFileTime / kTicksPerSecond;
  constexpr LONGLONG kHighest = (0x7FFFFFFFFFFFFFFFLL - kUnixEpochAsFileTime) / kTicksPerSecond;
  if (seconds < kLowest || seconds > kHighest) return std::nullopt;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(seconds * kTicksPerSecond + kUnixEpochAsFileTime);
  const FILETIME utc_time{ticks.LowPart, ticks.HighPart};
  SYSTEMTIME utc, local;
  if (!::FileTimeToSystemTime(&utc_time, &utc) || !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    return std::nullopt;
  }
  return local;
}

std::wstring LocalDateTime(__time64_t seconds) {
  const std::optional<SYSTEMTIME> local = LocalCalendar(seconds);
  if (!local) return std::wstring();
  return FormatWide(L"%04d-%02d-%02d %02d:%02d:%02d", local->wYear, local->wMonth, local->wDay, local->wHour,
                    local->wMinute, local->wSecond);
}

std::wstring LocalDatePart(__time64_t seconds, bool month) {
  const std::optional<SYSTEMTIME> local = LocalCalendar(seconds);
  if (!local) return std::wstring();
  // Both parts are written with four digits: clients parse the month as they parse the year.
  return FormatWide(L"%04d", month ? local->wMonth : local->wYear);
}

// The path with each character of `from` replaced by the one at the same place in `to`.
std::wstring Translate(std::wstring text, const wchar_t* from, const wchar_t* to) {
  for (wchar_t& c : text) {
    if (const wchar_t* at = std::wcschr(from, c); at != nullptr && c != L'\0') c = to[at - from];
  }
  return text;
}

LONGLONG Quad(DWORD high, DWORD low) {
  return static_cast<LONGLONG>((static_cast<ULONGLONG>(high) << 32) | low);
}

__time64_t UnixSeconds(const FILETIME& time) { return UnixSeconds(Quad(time.dwHighDateTime, time.dwLowDateTime)); }

// The platform's path tests stop at MAX_PATH; longer paths are asked in the extended form.
bool IsDirectory(const std::wstring& path) {
  if (path.size() < MAX_PATH) return ::PathIsDirectoryW(path.c_str()) != FALSE;
  const DWORD attributes = ::GetFileAttributesW(ExtendedLengthPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool PathExists(const std::wstring& path) {
  if (path.size() < MAX_PATH) return ::PathFileExistsW(path.c_str()) != FALSE;
  return ::GetFileAttributesW(ExtendedLengthPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

FileFacts FactsOf(const WIN32_FIND_DATAW& data) {
  const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return FileFacts{directory ? 0 : Quad(data.nFileSizeHigh, data.nFileSizeLow), UnixSeconds(data.ftCreationTime),
                   UnixSeconds(data.ftLastWriteTime), UnixSeconds(data.ftLastAccessTime)};
}

CFileTools::CFileTools(std::wstring path) : path_(std::move(path)) {}

CFileTools::CFileTools(std::wstring path, std::wstring title) : path_(std::move(path)), title_(std::move(title)) {}

const std::wstring& CFileTools::Title() {
  if (title_.empty() && !path_.empty()) {
    const size_t slash = path_.rfind(L'\\');
    title_ = slash != std::wstring::npos && slash >= 1 ? path_.substr(slash + 1) : path_;
  }
  return title_;
}

std::wstring CFileTools::Extension() const {
  const size_t dot = path_.rfind(L'.');
  return dot != std::wstring::npos && dot >= 1 ? path_.substr(dot + 1) : path_;
}

std::wstring CFileTools::Directory() const {
  std::wstring path = path_;
  // The folder holding D:\Music\ is D:\, as for D:\Music; a root itself has no folder part.
  while (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
  if (path.size() >= 2 && path.back() == L'\\' && path[path.size() - 2] == L':') return std::wstring();
  const size_t slash = path.rfind(L'\\');
  if (slash == std::wstring::npos) return std::wstring();
  if (slash == 0) return L"\\";
  std::wstring folder = path.substr(0, slash);
  if (folder.back() == L':') folder += L'\\';  // D:\a.mp3 lies in D:\, not in the current folder of D:
  return folder;
}

const std::wstring& CFileTools::MediumId() {
  if (!medium_id_) medium_id_ = std::make_unique<std::wstring>(EncodeLocalMediumId(path_));
  return *medium_id_;
}

std::wstring CFileTools::MediaType(const SharedExtensionMap& types) const {
  const std::wstring type = types.Find(L"." + LowerCase(Extension()));
  return type.empty() ? L"file" : type + L".file";
}

bool CFileTools::IsShortcut() const {
  return path_.size() >= 4 && _wcsicmp(path_.c_str() + path_.size() - 4, L".lnk") == 0;
}

bool CFileTools::IsFolder() {
  if (!is_folder_) {
    if (path_.compare(0, 3, L"::{") == 0) {
      is_folder_ = true;
    } else if (IsShortcut()) {
      is_folder_ = IsDirectory(ResolveShortcut(path_));
    } else {
      is_folder_ = browsable_ || ::PathIsRootW(path_.c_str()) || IsDirectory(path_);
    }
  }
  return *is_folder_;
}

bool CFileTools::Exists() const {
  return PathExists(IsShortcut() ? ResolveShortcut(path_) : path_);
}

void CFileTools::SetFacts(const FileFacts& facts, bool directory) {
  facts_ = facts;
  // The read already told what a directory question would ask the disk again; a shortcut's answer
  // is its target's, and a shell object is always a folder.
  if (!IsShortcut() && path_.compare(0, 3, L"::{") != 0) is_folder_ = browsable_ || directory;
}

const FileFacts* CFileTools::Facts() {
  if (facts_) return &*facts_;
  UniqueFile file(::CreateFileW(FileSystemPath(path_).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  // The basic information carries the times and tells a folder (which a platform may let open this
  // way, and which still takes the folder fallbacks); it costs a fraction of the full file
  // information, which also asks the volume for its serial number. A device (CON) has none.
  FILE_BASIC_INFO basic{};
  LARGE_INTEGER size{};
  if (!file || !::GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &basic, sizeof(basic)) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !::GetFileSizeEx(file.Get(), &size)) {
    return nullptr;
  }
  facts_ = FileFacts{size.QuadPart, UnixSeconds(basic.CreationTime.QuadPart), UnixSeconds(basic.LastWriteTime.QuadPart),
                     UnixSeconds(basic.LastAccessTime.QuadPart)};
  return &*facts_;
}

LONGLONG CFileTools::Size() {
  const FileFacts* facts = Facts();
  return facts != nullptr ? facts->size : 0;
}

__time64_t CFileTools::CreationTime() {
  const FileFacts* facts = Facts();
  return facts != nullptr ? facts->created : _time64(nullptr);
}

__time64_t CFileTools::LastWriteTime() {
  const FileFacts* facts = Facts();
  return facts != nullptr ? facts->written : _time64(nullptr);
}

__time64_t CFileTools::LastAccessTime() {
  const FileFacts* facts = Facts();
  return facts != nullptr ? facts->accessed : _time64(nullptr);
}

std::wstring CFileTools::GetProperty(const std::wstring& name, const SharedExtensionMap& types) {
  if (name == L"title" || name == L"path.filename") return Title();
  if (name == L"mediumId" || name == L"zelMediumId") return MediumId();
  if (name == L"path") return path_;
  if (name == L"path.extension") return Extension();
  if (name == L"path.directory") return Directory();
  if (name == L"type") return IsFolder() ? L"folder" : L"file";
  if (name == L"mediaType") return MediaType(types);
  // A removable drive may hold no medium: asking it for a size or a time could wait on the drive.
  const bool dated = name == L"size" || name == L"dateModified" || name == L"lastModified" ||
                     name == L"lastAccessTime" || name == L"creationDate" || name == L"creationDate.year" ||
                     name == L"creationDate.month";
  if (!dated || removable_) return std::wstring();
  if (name == L"size") return FormatWide(L"%I64d", Size());
  if (name == L"dateModified" || name == L"lastModified") return LocalDateTime(LastWriteTime());
  if (name == L"lastAccessTime") return LocalDateTime(LastAccessTime());
  if (name == L"creationDate") return LocalDateTime(CreationTime());
  return LocalDatePart(CreationTime(), name == L"creationDate.month");
}

std::wstring ResolveShortcut(const std::wstring& path) {
  IShellLinkWPtr link;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
    return path;
  }
  IPersistFilePtr file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) return path;
  wchar_t target[MAX_PATH] = L"";
  WIN32_FIND_DATAW find{};
  if (FAILED(file->Load(path.c_str(), STGM_READ)) || FAILED(link->Resolve(nullptr, SLR_NO_UI)) ||
      link->GetPath(target, MAX_PATH, &find, SLGP_UNCPRIORITY) != S_OK) {
    return path;
  }
  return target;
}

std::wstring EncodeLocalMediumId(const std::wstring& path) {
  return Translate(std::wstring(kLocalMediumPrefix) + L"*" + path, L"\\ .+", L"|*><");
}

std::wstring DecodeLocalMediumPath(const std::wstring& id, size_t prefix_length) {
  const size_t start = prefix_length + 1;
  return Translate(start < id.size() ? id.substr(start) : std::wstring(), L"|*><", L"\\ .+");
}

}  // namespace zel::browse
