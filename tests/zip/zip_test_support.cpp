#include "zip_test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <cstring>

#include "common/unique_handle.h"
#include "support/test_support.h"

namespace ziptest {

bool MemorySink::Write(const void* data, size_t size) {
  State& s = *state_;
  const uint64_t room = s.accepted < s.fail_after ? s.fail_after - s.accepted : 0;
  const size_t taken = static_cast<size_t>(std::min<uint64_t>(room, size));
  if (s.keep_bytes) {
    if (s.bytes.size() < s.position + taken) s.bytes.resize(static_cast<size_t>(s.position + taken));
    std::memcpy(s.bytes.data() + s.position, data, taken);
  }
  s.position += taken;
  s.accepted += taken;
  return taken == size;
}

bool MemorySink::Seek(uint64_t offset) {
  if (state_->fail_seeks) return false;
  state_->position = offset;
  return true;
}

bool MemorySink::Truncate() {
  if (state_->keep_bytes) state_->bytes.resize(static_cast<size_t>(state_->position));
  return true;
}

uint16_t Le16(const Bytes& bytes, size_t at) { return static_cast<uint16_t>(bytes.at(at) | (bytes.at(at + 1) << 8)); }
uint32_t Le32(const Bytes& bytes, size_t at) { return Le16(bytes, at) | (static_cast<uint32_t>(Le16(bytes, at + 2)) << 16); }

ZipListing ReadListing(const Bytes& archive) {
  ZipListing listing;
  if (archive.size() < 22) return listing;
  const size_t end = archive.size() - 22;
  if (Le32(archive, end) != 0x06054B50 || Le16(archive, end + 20) != 0) return listing;
  listing.count = Le16(archive, end + 10);
  listing.directory_size = Le32(archive, end + 12);
  listing.directory_offset = Le32(archive, end + 16);
  if (Le16(archive, end + 8) != listing.count || Le32(archive, end + 4) != 0) return listing;
  if (static_cast<uint64_t>(listing.directory_offset) + listing.directory_size != end) return listing;
  size_t at = listing.directory_offset;
  while (at < end) {
    if (Le32(archive, at) != 0x02014B50) return listing;
    CentralEntry e;
    e.made_by = Le16(archive, at + 4);
    e.needed = Le16(archive, at + 6);
    e.flags = Le16(archive, at + 8);
    e.method = Le16(archive, at + 10);
    e.dos_time = Le16(archive, at + 12);
    e.dos_date = Le16(archive, at + 14);
    e.crc = Le32(archive, at + 16);
    e.compressed = Le32(archive, at + 20);
    e.uncompressed = Le32(archive, at + 24);
    const uint16_t name_length = Le16(archive, at + 28);
    e.extra_length = Le16(archive, at + 30);
    e.comment_length = Le16(archive, at + 32);
    e.external_attributes = Le32(archive, at + 38);
    e.local_offset = Le32(archive, at + 42);
    e.name.assign(archive.begin() + at + 46, archive.begin() + at + 46 + name_length);
    e.extra.assign(archive.begin() + at + 46 + name_length, archive.begin() + at + 46 + name_length + e.extra_length);
    at += 46 + name_length + e.extra_length + e.comment_length;
    listing.entries.push_back(std::move(e));
  }
  listing.ok = at == end && (listing.entries.size() & 0xFFFF) == listing.count;
  return listing;
}

EntryData ReadEntry(const Bytes& archive, const CentralEntry& entry) {
  EntryData data;
  auto fail = [&data](std::string why) {
    data.why = std::move(why);
    return data;
  };
  const size_t at = entry.local_offset;
  if (Le32(archive, at) != 0x04034B50) return fail("no local header");
  if (Le16(archive, at + 4) != entry.needed || Le16(archive, at + 6) != entry.flags ||
      Le16(archive, at + 8) != entry.method || Le16(archive, at + 10) != entry.dos_time ||
      Le16(archive, at + 12) != entry.dos_date || Le32(archive, at + 14) != entry.crc ||
      Le32(archive, at + 18) != entry.compressed || Le32(archive, at + 22) != entry.uncompressed) {
    return fail("local header differs from the central one: " + entry.name);
  }
  const size_t name_length = Le16(archive, at + 26);
  const size_t extra_length = Le16(archive, at + 28);
  if (std::string(archive.begin() + at + 30, archive.begin() + at + 30 + name_length) != entry.name) {
    return fail("local name differs");
  }
  const unsigned char* stream = archive.data() + at + 30 + name_length + extra_length;
  if (entry.method == 0) {
    data.bytes.assign(stream, stream + entry.compressed);
  } else if (entry.method == 8) {
    z_stream z{};
    inflateInit2(&z, -15);
    data.bytes.resize(entry.uncompressed + 1);
    z.next_in = const_cast<Bytef*>(stream);
    z.avail_in = entry.compressed;
    z.next_out = data.bytes.data();
    z.avail_out = static_cast<uInt>(data.bytes.size());
    const int result = inflate(&z, Z_FINISH);
    data.bytes.resize(z.total_out);
    const bool whole = result == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    if (!whole) return fail("bad deflate stream: " + entry.name);
  } else {
    return fail("unknown method");
  }
  if (data.bytes.size() != entry.uncompressed) return fail("size differs: " + entry.name);
  if (crc32(0, data.bytes.data(), static_cast<uInt>(data.bytes.size())) != entry.crc) {
    return fail("CRC differs: " + entry.name);
  }
  data.ok = true;
  return data;
}

std::vector<std::pair<std::string, Bytes>> ReadAllEntries(const Bytes& archive) {
  std::vector<std::pair<std::string, Bytes>> all;
  const ZipListing listing = ReadListing(archive);
  EXPECT_TRUE(listing.ok);
  for (const CentralEntry& entry : listing.entries) {
    EntryData data = ReadEntry(archive, entry);
    EXPECT_TRUE(data.ok) << data.why;
    all.emplace_back(entry.name, std::move(data.bytes));
  }
  return all;
}

FILETIME FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
  SYSTEMTIME fields{};
  fields.wYear = static_cast<WORD>(year);
  fields.wMonth = static_cast<WORD>(month);
  fields.wDay = static_cast<WORD>(day);
  fields.wHour = static_cast<WORD>(hour);
  fields.wMinute = static_cast<WORD>(minute);
  fields.wSecond = static_cast<WORD>(second);
  FILETIME time{};
  ::SystemTimeToFileTime(&fields, &time);
  return time;
}

int64_t UnixSecondsOf(const FILETIME& time) {
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return static_cast<int64_t>((ticks - 116444736000000000ull) / 10000000ull);
}

void SetFileTimes(const std::wstring& path, const FILETIME& written, const FILETIME& accessed) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file.IsValid());
  ASSERT_TRUE(::SetFileTime(file.Get(), nullptr, &accessed, &written));
}

FILETIME CreationTimeOf(const std::wstring& path) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  FILETIME creation{};
  ::GetFileTime(file.Get(), &creation, nullptr, nullptr);
  return creation;
}

void UseUtcAsLocalTime() {
  _putenv("TZ=UTC0");
  _tzset();
}

Bytes ReadFileBytes(const std::wstring& path) { return ToBytes(zeltest::ReadBytes(path)); }

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  ASSERT_TRUE(file.IsValid());
  ASSERT_TRUE(bytes.empty() || ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}
Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace ziptest
