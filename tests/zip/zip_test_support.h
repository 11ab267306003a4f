#pragma once

// Test-side readers for the zip tests: a small independent zip parser (end record, central and
// local headers), zlib's inflate, and file helpers.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ziptest {

using Bytes = std::vector<unsigned char>;

uint16_t Le16(const Bytes& bytes, size_t at);
uint32_t Le32(const Bytes& bytes, size_t at);

uint64_t Le64(const Bytes& bytes, size_t at);

// One central header; sizes and offset as the Zip64 extra field gives them where the classic
// fields hold the marker.
struct CentralEntry {
  size_t header_offset;  // of the central header itself, in the bytes parsed
  uint16_t version_needed, flags, method, dos_time, dos_date;
  uint32_t crc;
  uint64_t compressed, uncompressed;
  uint32_t external_attributes;
  uint64_t local_offset;
  std::string name;
  Bytes extra;
};

struct ZipListing {
  bool ok = false;  // a well-formed end record (Zip64 end record where needed) and central directory
  bool zip64_end = false;  // the Zip64 end record and locator are there
  std::vector<CentralEntry> entries;
};

// Parses the end record (expected in the last 22 bytes: no comment), the Zip64 end record and
// locator when they are there, and the central directory. `archive` may hold only the archive's
// bytes from offset `base` on (the tail of an archive of gigabytes), as long as that covers the
// central directory; offsets in the answer are the archive's own.
ZipListing ReadListing(const Bytes& archive, uint64_t base = 0);

// zlib's raw inflate of a whole stream into `out`; false unless the stream ends exactly where the
// input does.
bool InflateRaw(const unsigned char* stream, size_t size, size_t expected_size, Bytes* out);

// The full contents of every entry, by name, each checked against its local header, sizes and CRC;
// fails the calling test on any bad entry.
std::vector<std::pair<std::string, Bytes>> ReadAllEntries(const Bytes& archive);

// A sparse file of `size` bytes (costs no disk space).
std::wstring SparseFile(const std::wstring& path, int64_t size);
Bytes ReadFileBytes(const std::wstring& path);

// A symbolic link at `link` to `target` (both Windows paths): under Wine a Unix symlink, which
// Wine follows the way Windows follows links; elsewhere CreateSymbolicLinkW. False if none was made.
bool MakeLink(const std::wstring& target, const std::wstring& link, bool folder);
// Removes a link made by MakeLink (not its target).
void RemoveLink(const std::wstring& link);

// The archives of ours ("Zuv*.tmp") now in the temporary folder.
size_t TemporaryArchives();
Bytes ToBytes(const std::string& text);

// Generated inputs of the kinds a zip of media server data meets, the same for the same seed.
enum class Kind { kRandom, kText, kRuns, kMixed };
Bytes Generate(Kind kind, size_t size, unsigned seed);

}  // namespace ziptest
