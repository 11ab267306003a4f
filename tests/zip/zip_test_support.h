#pragma once

// Test-side readers and doubles for the zip tests: an in-memory sink that can fail on cue, a small
// independent zip parser (end record, central and local headers), and fixed file times.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zip/zip_writer.h"

namespace ziptest {

using Bytes = std::vector<unsigned char>;

// Keeps what the writer writes; can refuse writes past `fail_after` bytes in total or refuse seeks.
class MemorySink final : public zel::zip::ZipSink {
 public:
  struct State {
    Bytes bytes;
    uint64_t position = 0;
    uint64_t accepted = 0;
    uint64_t fail_after = UINT64_MAX;
    bool fail_seeks = false;
    bool keep_bytes = true;  // false: count only (for archives of gigabytes)
  };
  explicit MemorySink(State* state) : state_(state) {}
  bool Write(const void* data, size_t size) override;
  bool Seek(uint64_t offset) override;
  bool Truncate() override;

 private:
  State* state_;
};

uint16_t Le16(const Bytes& bytes, size_t at);
uint32_t Le32(const Bytes& bytes, size_t at);

struct CentralEntry {
  uint16_t made_by, needed, flags, method;
  uint16_t dos_time, dos_date;
  uint32_t crc, compressed, uncompressed;
  uint16_t extra_length, comment_length;
  uint32_t external_attributes, local_offset;
  std::string name;
  Bytes extra;
};

struct ZipListing {
  bool ok = false;  // a well-formed end record and central directory
  uint16_t count = 0;
  uint32_t directory_size = 0;
  uint32_t directory_offset = 0;
  std::vector<CentralEntry> entries;
};

// Parses the end record (expected in the last 22 bytes: no comment) and the central directory.
ZipListing ReadListing(const Bytes& archive);

// An entry's data as stored or inflated (zlib), checked against its local header; `ok` false on any
// mismatch between the local and central headers or a failing CRC.
struct EntryData {
  bool ok = false;
  std::string why;
  Bytes bytes;
};
EntryData ReadEntry(const Bytes& archive, const CentralEntry& entry);

// The full contents of every entry, by name; fails the calling test on any bad entry.
std::vector<std::pair<std::string, Bytes>> ReadAllEntries(const Bytes& archive);

FILETIME FileTimeOf(int year, int month, int day, int hour, int minute, int second);
// Seconds since 1970 of a UTC file time, computed independently of the code under test.
int64_t UnixSecondsOf(const FILETIME& time);
void SetFileTimes(const std::wstring& path, const FILETIME& written, const FILETIME& accessed);
FILETIME CreationTimeOf(const std::wstring& path);

// Makes the runtime library's local time UTC for the Unix times of the entries.
void UseUtcAsLocalTime();

Bytes ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
Bytes ToBytes(const std::string& text);

}  // namespace ziptest
