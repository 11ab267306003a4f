#pragma once

#include <windows.h>

#include <cstdint>

namespace zel::zip {

// What the zip headers say about an entry's source, apart from its bytes.
struct ZipSourceInfo {
  uint64_t size = 0;                 // the announced size
  uint32_t external_attributes = 0;
  uint16_t dos_time = 0;
  uint16_t dos_date = 0;
  int64_t unix_modified = 0;
  int64_t unix_accessed = 0;
  int64_t unix_created = 0;
};

// The information of an open disk file: attributes, times and size. Leaves the file pointer at the
// start. False when the information cannot be read.
bool ReadDiskFileInfo(HANDLE file, ZipSourceInfo* info);

// A block of memory of `size` bytes: external attributes 0x80000000, every time "now" (local).
ZipSourceInfo MemoryBlockInfo(uint64_t size);

// The external attributes of a disk file: its DOS bits (read-only, hidden, system, directory,
// archive) in the low byte and the Unix file type and owner permissions in the high word.
uint32_t ExternalAttributesOf(DWORD file_attributes, bool executable);

// The DOS date and time of a file time, taken as it stands (no time-zone conversion). Times the DOS
// format cannot hold are clamped to its range: 1980-01-01 00:00:00 and 2107-12-31 23:59:58.
void DosDateTimeOf(const FILETIME& time, uint16_t* dos_date, uint16_t* dos_time);

// The Unix time of a file time: its calendar fields, the date clamped to 1970-01-01 ...
// 2037-12-31 (time of day kept), converted by the runtime library as local time without daylight
// saving (_mktime64). A time the runtime cannot convert gives 0.
int64_t UnixTimeOf(const FILETIME& time);

// The executable test of the external attributes: an "MZ" header whose new-header offset points
// at a "PE", "NE", "LE" or "MZ" signature inside the file. Moves the file pointer.
bool LooksExecutable(HANDLE file, uint64_t size);

}  // namespace zel::zip
