#include "zip_test_support.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <filesystem>
#include <fstream>
#include <random>

#include "common/unique_handle.h"
#include "support/test_support.h"

namespace ziptest {

uint16_t Le16(const Bytes& bytes, size_t at) { return static_cast<uint16_t>(bytes.at(at) | (bytes.at(at + 1) << 8)); }
uint32_t Le32(const Bytes& bytes, size_t at) { return Le16(bytes, at) | (static_cast<uint32_t>(Le16(bytes, at + 2)) << 16); }

uint64_t Le64(const Bytes& bytes, size_t at) { return Le32(bytes, at) | (static_cast<uint64_t>(Le32(bytes, at + 4)) << 32); }

namespace {

// Replaces the values the classic fields mark with those of the entry's Zip64 extra field.
bool ApplyZip64Extra(CentralEntry* entry) {
  const Bytes& extra = entry->extra;
  for (size_t at = 0; at + 4 <= extra.size(); at += 4 + Le16(extra, at + 2)) {
    if (Le16(extra, at) != 1) continue;
    size_t value = at + 4;
    const size_t end = value + Le16(extra, at + 2);
    for (uint64_t* field : {&entry->uncompressed, &entry->compressed, &entry->local_offset}) {
      if (*field != 0xFFFFFFFFu) continue;
      if (value + 8 > end || end > extra.size()) return false;
      *field = Le64(extra, value);
      value += 8;
    }
    return value == end;  // nothing more, nothing less than the marked fields
  }
  return entry->uncompressed != 0xFFFFFFFFu && entry->compressed != 0xFFFFFFFFu && entry->local_offset != 0xFFFFFFFFu;
}

}  // namespace

ZipListing ReadListing(const Bytes& archive, uint64_t base) {
  ZipListing listing;
  if (archive.size() < 22) return listing;
  const size_t end = archive.size() - 22;
  uint64_t count = Le16(archive, end + 10);
  uint64_t directory_size = Le32(archive, end + 12);
  uint64_t directory_offset = Le32(archive, end + 16);
  if (Le32(archive, end) != 0x06054B50 || Le16(archive, end + 20) != 0 || Le16(archive, end + 8) != count ||
      Le32(archive, end + 4) != 0) {
    return listing;
  }
  uint64_t directory_end = base + end;
  if (end >= 20 + 56 && Le32(archive, end - 20) == 0x07064B50) {
    const uint64_t record = Le64(archive, end - 20 + 8);
    if (Le32(archive, end - 20 + 4) != 0 || Le32(archive, end - 20 + 16) != 1 || record != base + end - 20 - 56 ||
        Le32(archive, end - 20 - 56) != 0x06064B50 || Le64(archive, end - 20 - 56 + 4) != 44) {
      return listing;
    }
    const size_t at = end - 20 - 56;
    const uint64_t entries = Le64(archive, at + 24);
    // The classic fields hold the value or the marker.
    if (Le64(archive, at + 32) != entries || (count != 0xFFFF && count != entries) ||
        (directory_size != 0xFFFFFFFFu && directory_size != Le64(archive, at + 40)) ||
        (directory_offset != 0xFFFFFFFFu && directory_offset != Le64(archive, at + 48))) {
      return listing;
    }
    count = entries;
    directory_size = Le64(archive, at + 40);
    directory_offset = Le64(archive, at + 48);
    directory_end = base + at;
    listing.zip64_end = true;
  }
  if (directory_offset < base || directory_offset + directory_size != directory_end) return listing;
  size_t at = static_cast<size_t>(directory_offset - base);
  while (at < directory_end - base) {
    if (at + 46 > archive.size() || Le32(archive, at) != 0x02014B50) return listing;
    const size_t name_length = Le16(archive, at + 28);
    const size_t extra_length = Le16(archive, at + 30);
    if (at + 46 + name_length + extra_length > archive.size()) return listing;
    const auto name = archive.begin() + at + 46;
    listing.entries.push_back({at, Le16(archive, at + 6), Le16(archive, at + 8), Le16(archive, at + 10),
                               Le16(archive, at + 12), Le16(archive, at + 14), Le32(archive, at + 16),
                               Le32(archive, at + 20), Le32(archive, at + 24), Le32(archive, at + 38),
                               Le32(archive, at + 42), std::string(name, name + name_length),
                               Bytes(name + name_length, name + name_length + extra_length)});
    if (!ApplyZip64Extra(&listing.entries.back())) return listing;
    at += 46 + name_length + extra_length + Le16(archive, at + 32);
  }
  listing.ok = base + at == directory_end && listing.entries.size() == count;
  return listing;
}

bool InflateRaw(const unsigned char* stream, size_t size, size_t expected_size, Bytes* out) {
  z_stream z{};
  inflateInit2(&z, -15);
  out->resize(expected_size + 1);
  z.next_in = const_cast<Bytef*>(stream);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(out->size());
  const int result = inflate(&z, Z_FINISH);
  out->resize(z.total_out);
  inflateEnd(&z);
  return result == Z_STREAM_END && z.avail_in == 0;
}

std::vector<std::pair<std::string, Bytes>> ReadAllEntries(const Bytes& archive) {
  std::vector<std::pair<std::string, Bytes>> all;
  const ZipListing listing = ReadListing(archive);
  EXPECT_TRUE(listing.ok);
  for (const CentralEntry& entry : listing.entries) {
    // The local header repeats the central one's fields from "version needed" to the sizes.
    const size_t at = static_cast<size_t>(entry.local_offset);
    const size_t compressed = static_cast<size_t>(entry.compressed);
    if (at + 30 > archive.size() || at + 30 + Le16(archive, at + 26) + Le16(archive, at + 28) + compressed > archive.size()) {
      ADD_FAILURE() << "entry past the end: " << entry.name;
      continue;
    }
    EXPECT_EQ(Le32(archive, at), 0x04034B50u) << entry.name;
    EXPECT_TRUE(std::equal(archive.begin() + at + 4, archive.begin() + at + 26, archive.begin() + entry.header_offset + 6))
        << "local header differs from the central one: " << entry.name;
    const size_t name_length = Le16(archive, at + 26);
    EXPECT_EQ(std::string(archive.begin() + at + 30, archive.begin() + at + 30 + name_length), entry.name);
    const unsigned char* stream = archive.data() + at + 30 + name_length + Le16(archive, at + 28);
    Bytes data(stream, stream + (entry.method == 0 ? compressed : 0));
    if (entry.method != 0) {
      EXPECT_EQ(entry.method, 8) << entry.name;
      EXPECT_TRUE(InflateRaw(stream, compressed, static_cast<size_t>(entry.uncompressed), &data)) << "bad deflate stream: " << entry.name;
    }
    EXPECT_EQ(data.size(), entry.uncompressed) << entry.name;
    EXPECT_EQ(crc32(0, data.data(), static_cast<uInt>(data.size())), entry.crc) << entry.name;
    all.emplace_back(entry.name, std::move(data));
  }
  return all;
}

std::wstring SparseFile(const std::wstring& path, int64_t size) {
  std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  std::filesystem::resize_file(path, static_cast<uintmax_t>(size));
  return path;
}

Bytes ReadFileBytes(const std::wstring& path) { return ToBytes(zeltest::ReadBytes(path)); }

namespace {

// Runs a Linux program on Windows paths (Wine starts Linux programs as it starts its own) and
// waits for it; false off Wine.
bool RunLinux(const wchar_t* program, const std::wstring& options, const std::vector<std::wstring>& paths) {
  using UnixName = char* (*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_name == nullptr) return false;
  std::wstring command = std::wstring(program) + L" " + options;
  for (const std::wstring& path : paths) {
    char* name = unix_name(path.c_str());
    if (name == nullptr) return false;
    command += L" \"" + std::wstring(name, name + strlen(name)) + L"\"";
    ::HeapFree(::GetProcessHeap(), 0, name);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  const zel::UniqueKernelHandle thread(process.hThread);
  const zel::UniqueKernelHandle child(process.hProcess);
  ::WaitForSingleObject(child.Get(), 10000);
  return true;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Wine gives no exit code of a Linux program, and its handle may signal early: look for the result.
bool Eventually(const std::function<bool()>& done) {
  for (int tries = 0; tries < 500; ++tries, ::Sleep(10)) {
    if (done()) return true;
  }
  return false;
}

}  // namespace

bool MakeLink(const std::wstring& target, const std::wstring& link, bool folder) {
  if (RunLinux(L"Z:\\bin\\ln", L"-s", {target, link})) return Eventually([&] { return Exists(link); });
  return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) != FALSE;
}

void RemoveLink(const std::wstring& link) {
  if (RunLinux(L"Z:\\bin\\rm", L"-f", {link})) {
    Eventually([&] { return !Exists(link); });
  } else if (!::RemoveDirectoryW(link.c_str())) {
    ::DeleteFileW(link.c_str());
  }
}

size_t TemporaryArchives() {
  wchar_t folder[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH, folder);
  size_t count = 0;
  WIN32_FIND_DATAW found;
  const zel::UniqueFind find(::FindFirstFileW((std::wstring(folder) + L"Zuv*.tmp").c_str(), &found));
  for (bool more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &found)) ++count;
  return count;
}

Bytes Generate(Kind kind, size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes data(size);
  static const char* kWords[] = {"media ", "server ", "the ", "of ", "album ", "track ", "\r\n", "playlist ",
                                 "2024-01-01 12:00:00 [INFO] ", "zip ", "a ", "and "};
  for (size_t at = 0; at < size;) {
    switch (kind) {
      case Kind::kRandom:
        data[at++] = static_cast<unsigned char>(random());
        break;
      case Kind::kText:
        for (const char* word = kWords[random() % 12]; *word != '\0' && at < size; ++word) data[at++] = *word;
        break;
      case Kind::kRuns: {
        const size_t run = std::min<size_t>(size - at, 1 + random() % (random() % 4 == 0 ? 5000 : 40));
        std::fill(data.begin() + at, data.begin() + at + run, static_cast<unsigned char>(random() % 3));
        at += run;
        break;
      }
      case Kind::kMixed: {
        const Bytes part = Generate(static_cast<Kind>(random() % 3), std::min<size_t>(4096, size - at), seed + static_cast<unsigned>(at));
        std::copy(part.begin(), part.end(), data.begin() + at);
        at += part.size();
        break;
      }
    }
  }
  return data;
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace ziptest
