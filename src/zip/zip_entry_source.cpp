#include "zip/zip_entry_source.h"

#include <ctime>

namespace zel::zip {
namespace {

constexpr uint32_t kDosAttributeBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE;
constexpr uint32_t kUnixRegularFile = 0x80000000;  // S_IFREG << 16
constexpr uint32_t kUnixDirectory = 0x40000000;    // S_IFDIR << 16
constexpr uint32_t kUnixOwnerRead = 0x01000000;    // S_IRUSR << 16
constexpr uint32_t kUnixOwnerWrite = 0x00800000;   // S_IWUSR << 16
constexpr uint32_t kUnixOwnerExecute = 0x00400000; // S_IXUSR << 16

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD size) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  DWORD got = 0;
  return ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && ::ReadFile(file, buffer, size, &got, nullptr) &&
         got == size;
}

FILETIME AsFileTime(const LARGE_INTEGER& time) {
  FILETIME converted;
  converted.dwLowDateTime = time.LowPart;
  converted.dwHighDateTime = static_cast<DWORD>(time.HighPart);
  return converted;
}

}  // namespace

uint32_t ExternalAttributesOf(DWORD file_attributes, bool executable) {
  uint32_t attributes = file_attributes & kDosAttributeBits;
  attributes |= (file_attributes & FILE_ATTRIBUTE_DIRECTORY) ? kUnixDirectory : kUnixRegularFile;
  attributes |= kUnixOwnerRead;
  if (!(file_attributes & FILE_ATTRIBUTE_READONLY)) attributes |= kUnixOwnerWrite;
  if (executable) attributes |= kUnixOwnerExecute;
  return attributes;
}

void DosDateTimeOf(const FILETIME& time, uint16_t* dos_date, uint16_t* dos_time) {
  // The range is checked here: not every FileTimeToDosDateTime refuses years past 2107.
  SYSTEMTIME fields{};
  const bool readable = ::FileTimeToSystemTime(&time, &fields) != FALSE;
  WORD date = 0;
  WORD clock = 0;
  if (readable && fields.wYear >= 1980 && fields.wYear <= 2107 && ::FileTimeToDosDateTime(&time, &date, &clock)) {
    *dos_date = date;
    *dos_time = clock;
  } else if (readable && fields.wYear > 2107) {
    *dos_date = static_cast<uint16_t>(((2107 - 1980) << 9) | (12 << 5) | 31);
    *dos_time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
  } else {
    *dos_date = static_cast<uint16_t>((0 << 9) | (1 << 5) | 1);
    *dos_time = 0;
  }
}

int64_t UnixTimeOf(const FILETIME& time) {
  SYSTEMTIME fields{};
  if (!::FileTimeToSystemTime(&time, &fields)) return 0;
  if (fields.wYear < 1970) {
    fields.wYear = 1970;
    fields.wMonth = 1;
    fields.wDay = 1;
  } else if (fields.wYear >= 2038) {
    fields.wYear = 2037;
    fields.wMonth = 12;
    fields.wDay = 31;
  }
  std::tm calendar{};
  calendar.tm_year = fields.wYear - 1900;
  calendar.tm_mon = fields.wMonth - 1;
  calendar.tm_mday = fields.wDay;
  calendar.tm_hour = fields.wHour;
  calendar.tm_min = fields.wMinute;
  calendar.tm_sec = fields.wSecond;
  calendar.tm_isdst = 0;
  const __time64_t seconds = _mktime64(&calendar);
  // 1970-01-01 shortly after midnight is before the epoch east of Greenwich; the runtime refuses
  // it, and the epoch itself is the nearest time the field can hold.
  return seconds < 0 ? 0 : static_cast<int64_t>(seconds);
}

bool LooksExecutable(HANDLE file, uint64_t size) {
  if (size <= 40) return false;
  char magic[2];
  if (!ReadAt(file, 0, magic, sizeof(magic)) || magic[0] != 'M' || magic[1] != 'Z') return false;
  uint32_t header_offset = 0;
  if (!ReadAt(file, 0x3C, &header_offset, sizeof(header_offset))) return false;  // e_lfanew
  if (size <= static_cast<uint64_t>(header_offset) + 52) return false;
  uint32_t signature = 0;
  if (!ReadAt(file, header_offset, &signature, sizeof(signature))) return false;
  return signature == 0x00004550 || signature == 0x0000454E || signature == 0x0000454C || signature == 0x00005A4D;
}

bool ReadDiskFileInfo(HANDLE file, ZipSourceInfo* info) {
  // The basic information and the size, asked for separately: GetFileInformationByHandle gives the
  // same fields but also looks up the volume, which costs about a millisecond per file under Wine.
  FILE_BASIC_INFO basic{};
  LARGE_INTEGER size{};
  if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) || !::GetFileSizeEx(file, &size)) {
    return false;
  }
  info->size = static_cast<uint64_t>(size.QuadPart);
  info->external_attributes = ExternalAttributesOf(basic.FileAttributes, LooksExecutable(file, info->size));
  const FILETIME written = AsFileTime(basic.LastWriteTime);
  DosDateTimeOf(written, &info->dos_date, &info->dos_time);
  info->unix_modified = UnixTimeOf(written);
  info->unix_accessed = UnixTimeOf(AsFileTime(basic.LastAccessTime));
  info->unix_created = UnixTimeOf(AsFileTime(basic.CreationTime));
  LARGE_INTEGER start{};
  return ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
}

ZipSourceInfo MemoryBlockInfo(uint64_t size) {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  FILETIME time{};
  ::SystemTimeToFileTime(&now, &time);
  ZipSourceInfo info;
  info.size = size;
  info.external_attributes = kUnixRegularFile;
  DosDateTimeOf(time, &info.dos_date, &info.dos_time);
  info.unix_modified = info.unix_accessed = info.unix_created = UnixTimeOf(time);
  return info;
}

}  // namespace zel::zip
