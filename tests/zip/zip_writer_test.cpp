#include "zip/zip_writer.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/unique_handle.h"
#include "support/test_support.h"
#include "zip/zip_entry_source.h"
#include "zip_test_support.h"

namespace zel::zip {
namespace {

using ziptest::Bytes;
using ziptest::Le16;
using ziptest::Le32;
using ziptest::Le64;

// Keeps what the writer writes; can refuse writes past `fail_after` bytes in total or refuse seeks.
class MemorySink final : public ZipSink {
 public:
  struct State {
    Bytes bytes;
    uint64_t position = 0, accepted = 0, fail_after = UINT64_MAX;
    bool fail_seeks = false;
    bool keep_bytes = true;  // false: count only (for archives of gigabytes)
  };
  explicit MemorySink(State* state) : s_(*state) {}
  bool Write(const void* data, size_t size) override {
    const size_t taken = static_cast<size_t>(std::min<uint64_t>(s_.accepted < s_.fail_after ? s_.fail_after - s_.accepted : 0, size));
    if (s_.keep_bytes) {
      if (s_.bytes.size() < s_.position + taken) s_.bytes.resize(static_cast<size_t>(s_.position + taken));
      std::memcpy(s_.bytes.data() + s_.position, data, taken);
    }
    s_.position += taken;
    s_.accepted += taken;
    return taken == size;
  }
  bool Seek(uint64_t offset) override {
    if (!s_.fail_seeks) s_.position = offset;
    return !s_.fail_seeks;
  }
  bool Truncate() override {
    if (s_.keep_bytes) s_.bytes.resize(static_cast<size_t>(s_.position));
    return true;
  }

 private:
  State& s_;
};

FILETIME FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
  const SYSTEMTIME fields{static_cast<WORD>(year), static_cast<WORD>(month),  0, static_cast<WORD>(day),
                          static_cast<WORD>(hour), static_cast<WORD>(minute), static_cast<WORD>(second), 0};
  FILETIME time{};
  ::SystemTimeToFileTime(&fields, &time);
  return time;
}

// Little-endian bytes written out by hand for the expectations.
struct Expect {
  Bytes bytes;
  Expect& U8(uint32_t v) { bytes.push_back(static_cast<unsigned char>(v)); return *this; }
  Expect& U16(uint32_t v) { return U8(v & 0xFF).U8(v >> 8); }
  Expect& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
  Expect& Text(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); return *this; }
};

std::unique_ptr<CZipWriter> MemoryWriter(MemorySink::State* state) {
  return CZipWriter::CreateArchive(std::make_unique<MemorySink>(state));
}

// The archive of these entries (name, source, store only), each of which must be accepted.
Bytes ArchiveOf(const std::vector<std::tuple<std::wstring, ZipSource, bool>>& entries) {
  MemorySink::State out;
  auto writer = MemoryWriter(&out);
  for (const auto& [name, source, store_only] : entries) EXPECT_EQ(writer->AddEntry(name, source, store_only), ZipOk);
  EXPECT_EQ(writer->CloseArchive(), ZipOk);
  return out.bytes;
}

// Sets a file's last-write and last-access times; answers its creation time in Unix seconds.
uint32_t SetTimes(const std::wstring& path, const FILETIME& written, const FILETIME& accessed) {
  UniqueFile file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  FILETIME created{};
  EXPECT_TRUE(file && ::SetFileTime(file.Get(), nullptr, &accessed, &written) &&
              ::GetFileTime(file.Get(), &created, nullptr, nullptr));
  const uint64_t ticks = (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  return static_cast<uint32_t>((ticks - 116444736000000000ull) / 10000000ull);
}

// An "MZ" image of `size` bytes whose new-header offset (at 0x3C) points at `signature`.
std::string Image(const char* signature, size_t at = 0x80, size_t size = 300) {
  std::string image(size, '\0');
  image.replace(0, 2, "MZ");
  image[0x3C] = static_cast<char>(at);
  if (at + 2 <= size) image.replace(at, 2, signature);
  return image;
}

class ZipWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {  // the runtime library's local time is UTC for the Unix times of the entries
    _putenv("TZ=UTC0");
    _tzset();
  }
  zeltest::TempFolder folder_;
};

// The stored archive of two files with names of 5 and 7 bytes and sizes 100 and 0: 102 + 10 + 100
// + 102 + 14 + 0 + 22 = 350 bytes, every one of them known in advance.
TEST_F(ZipWriterTest, StoredArchiveOfTwoFilesIsExactlyTheHandComputedBytes) {
  std::string hundred(100, '\0');
  for (int i = 0; i < 100; ++i) hundred[i] = static_cast<char>('A' + i % 26);
  const std::wstring first = folder_.WriteFile(L"first.bin", hundred);
  const std::wstring second = folder_.WriteFile(L"second.bin", "");
  const FILETIME written = FileTimeOf(2021, 6, 15, 12, 34, 56);
  const FILETIME accessed = FileTimeOf(2022, 1, 2, 3, 4, 6);
  const uint32_t created1 = SetTimes(first, written, accessed);
  const uint32_t created2 = SetTimes(second, written, accessed);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(hundred.data()), 100));

  const uint32_t dos_time = (12 << 11) | (34 << 5) | (56 / 2);  // 0x645C
  const uint32_t dos_date = ((2021 - 1980) << 9) | (6 << 5) | 15;  // 0x52CF
  const uint32_t modified = 1623760496;                              // 2021-06-15 12:34:56 UTC
  const uint32_t access = 1641092646;                                // 2022-01-02 03:04:06 UTC
  const uint32_t attributes = 0x81800020;  // regular file, owner read and write, DOS archive bit
  Expect e;
  // Local header 1 at 0, then its 100 bytes.
  e.U32(0x04034B50).U16(20).U16(0).U16(0).U16(dos_time).U16(dos_date).U32(crc).U32(100).U32(100).U16(5).U16(17);
  e.Text("a.txt").U16(0x5455).U16(13).U8(7).U32(modified).U32(access).U32(created1).Text(hundred);
  // Local header 2 at 152: "\" became "/", an empty file has CRC 0 and both sizes 0.
  e.U32(0x04034B50).U16(20).U16(0).U16(0).U16(dos_time).U16(dos_date).U32(0).U32(0).U32(0).U16(7).U16(17);
  e.Text("dir/b.x").U16(0x5455).U16(13).U8(7).U32(modified).U32(access).U32(created2);
  // Central directory at 206.
  e.U32(0x02014B50).U16(0x0B17).U16(20).U16(0).U16(0).U16(dos_time).U16(dos_date).U32(crc).U32(100).U32(100);
  e.U16(5).U16(9).U16(0).U16(0).U16(0).U32(attributes).U32(0).Text("a.txt").U16(0x5455).U16(5).U8(7).U32(modified);
  e.U32(0x02014B50).U16(0x0B17).U16(20).U16(0).U16(0).U16(dos_time).U16(dos_date).U32(0).U32(0).U32(0);
  e.U16(7).U16(9).U16(0).U16(0).U16(0).U32(attributes).U32(152).Text("dir/b.x").U16(0x5455).U16(5).U8(7).U32(modified);
  // End record at 328: 2 entries, directory of 122 bytes at 206.
  e.U32(0x06054B50).U16(0).U16(0).U16(2).U16(2).U32(122).U32(206).U16(0);
  ASSERT_EQ(e.bytes.size(), 350u);
  EXPECT_EQ(ArchiveOf({{L"a.txt", ZipSource::File(first), true}, {L"dir\\b.x", ZipSource::File(second), true}}), e.bytes);

  // Deflated, the first entry changes its method, flags and compressed size, nothing else.
  const Bytes deflated = ArchiveOf({{L"a.txt", ZipSource::File(first), false}, {L"dir\\b.x", ZipSource::File(second), false}});
  const auto entries = ziptest::ReadListing(deflated).entries;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(std::make_tuple(entries[0].method, entries[0].flags, entries[1].method), std::make_tuple(8, 2, 0))
      << "an empty file is stored: there is nothing to compress";
  EXPECT_EQ(ziptest::ReadAllEntries(deflated)[0].second, ziptest::ToBytes(hundred));
}

// Archives within the classic limits (under 4 GiB, under 65,535 entries) are pinned byte for byte:
// stored as the writer made them before it knew Zip64, so that clients that read those archives
// see nothing new; deflated as libdeflate's level 6 writes the entries' data since it replaced our
// compressor (headers and layout unchanged). Every time of every source is set, the creation time
// included.
TEST_F(ZipWriterTest, ArchivesWithinTheClassicLimitsKeepTheirBytes) {
  const std::pair<const wchar_t*, std::string> files[] = {
      {L"a.txt", std::string(100, 'a')},
      {L"dir\\b.x", ""},
      {L"M\u00fcsik\\\u03a9mega.txt", [] { const auto b = ziptest::Generate(ziptest::Kind::kText, 5000, 7); return std::string(b.begin(), b.end()); }()},
      {L"random.bin", [] { const auto b = ziptest::Generate(ziptest::Kind::kRandom, 70000, 1); return std::string(b.begin(), b.end()); }()},
      {L"tool.exe", Image("PE", 0x40, 200)},
      {L"logs\\app.zip", std::string(3000, 'z')},
  };
  const FILETIME time = FileTimeOf(2021, 6, 15, 12, 34, 56);
  std::vector<std::wstring> paths;
  for (const auto& [name, bytes] : files) paths.push_back(folder_.WriteFile(std::to_wstring(paths.size()) + L".src", bytes));
  const std::pair<size_t, uint32_t> pinned[] = {{79052, 0x78964903}, {74618, 0x73D5EE76}};  // size, CRC-32
  for (bool store_only : {true, false}) {
    for (const std::wstring& path : paths) {  // again each time: reading a file moves its access time
      UniqueFile file(::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(file && ::SetFileTime(file.Get(), &time, &time, &time));
    }
    std::vector<std::tuple<std::wstring, ZipSource, bool>> entries;
    for (size_t i = 0; i < paths.size(); ++i) entries.emplace_back(files[i].first, ZipSource::File(paths[i]), store_only);
    const Bytes archive = ArchiveOf(entries);
    const uint32_t crc = static_cast<uint32_t>(crc32(0, archive.data(), static_cast<uInt>(archive.size())));
    EXPECT_EQ(std::make_pair(archive.size(), crc), pinned[store_only ? 0 : 1]) << (store_only ? "stored" : "deflated");
  }
}

TEST_F(ZipWriterTest, CompressedSuffixesAreStoredWhateverWasAsked) {
  const std::tuple<const wchar_t*, bool, const char*, int> cases[] = {  // name, store only, stored name, method
      {L"logs\\app.zip", false, "logs/app.zip", 0}, {L"ARCHIVE.TGZ", false, "ARCHIVE.TGZ", 0},
      {L"data.zip.txt", false, "data.zip.txt", 8}, {L"noextension", true, "noextension", 0},
      {L"x.z", false, "x.z", 0},                   {L"dir.gz\\file", false, "dir.gz/file", 8},
      {L"trailing.", false, "trailing.", 8},       {L"m\u00fc.lzh", false, "m\xc3\xbc.lzh", 0},
  };
  const std::string text(3000, 'q');
  std::vector<std::tuple<std::wstring, ZipSource, bool>> entries;
  for (const auto& [name, store_only, unused, method] : cases) entries.emplace_back(name, ZipSource::Memory(text.data(), text.size()), store_only);
  const Bytes archive = ArchiveOf(entries);
  const ziptest::ZipListing listing = ziptest::ReadListing(archive);
  ASSERT_EQ(listing.entries.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& [name, store_only, stored_name, method] = cases[i];
    const ziptest::CentralEntry& entry = listing.entries[i];
    // The UTF-8 flag only on a name that is not plain ASCII, in both headers alike; no data
    // descriptor; entries made from memory have no attributes of their own.
    const int utf8 = std::string(stored_name).find('\xc3') != std::string::npos ? 0x800 : 0;
    EXPECT_EQ(std::make_tuple(entry.name, entry.method, entry.flags, ziptest::Le16(archive, entry.local_offset + 6), entry.external_attributes),
              std::make_tuple(std::string(stored_name), method, (method == 8 ? 2 : 0) | utf8, (method == 8 ? 2 : 0) | utf8, 0x80000000u));
  }
  for (const auto& [name, bytes] : ziptest::ReadAllEntries(archive)) EXPECT_EQ(bytes, ziptest::ToBytes(text)) << name;
}

TEST_F(ZipWriterTest, RefusedArgumentsWriteNothing) {
  MemorySink::State out;
  auto writer = MemoryWriter(&out);
  const std::wstring longest(259, L'n');
  const std::wstring two_byte_longest(129, L'\u00e9');  // 258 bytes
  const std::wstring file = folder_.WriteFile(L"f.txt", "contents");
  for (const std::wstring& name : {std::wstring(), longest + L"n", two_byte_longest + L"\u00e9", std::wstring(L"bad\xD800surrogate")}) {
    EXPECT_EQ(writer->AddEntry(name, ZipSource::Memory("x", 1), true), ZipBadArguments) << name.size();
  }
  for (const ZipSource& source : {ZipSource::Memory(nullptr, 5), ZipSource::Memory("x", 0)}) {
    EXPECT_EQ(writer->AddEntry(L"x.bin", source, true), ZipBadArguments);
  }
  EXPECT_EQ(writer->AddEntry(L"missing.bin", ZipSource::File(folder_.Path() + L"\\missing"), true), ZipCannotOpen);
  EXPECT_EQ(out.bytes.size(), 0u) << "a refused entry leaves no trace";
  EXPECT_EQ(writer->AddEntry(longest, ZipSource::Memory("x", 1), true), ZipOk);
  EXPECT_EQ(writer->AddEntry(two_byte_longest, ZipSource::File(file), true), ZipOk);
  ASSERT_EQ(writer->CloseArchive(), ZipOk);
  const auto entries = ziptest::ReadAllEntries(out.bytes);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first.size(), 259u);
  EXPECT_EQ(entries[1].second, ziptest::ToBytes("contents"));
}

TEST_F(ZipWriterTest, AfterAShortWriteLaterEntriesAreRefusedAndTheArchiveEndsAtTheLastGoodEntry) {
  std::string text(20000, '\0');
  std::mt19937 random(5);
  for (char& c : text) c = static_cast<char>(random());  // so that it also deflates to 20000 bytes
  for (bool store_only : {true, false}) {
    MemorySink::State out;
    auto writer = MemoryWriter(&out);
    ASSERT_EQ(writer->AddEntry(L"one.txt", ZipSource::Memory(text.data(), 100), true), ZipOk);
    const uint64_t first_entry = writer->Written();
    out.fail_after = out.accepted + 300;  // the disk fills up during the second entry
    EXPECT_EQ(writer->AddEntry(L"two.txt", ZipSource::Memory(text.data(), text.size()), store_only), ZipWriteFailed);
    out.fail_after = UINT64_MAX;  // room again: still refused, the file no longer matches
    EXPECT_EQ(writer->AddEntry(L"three.txt", ZipSource::Memory("x", 1), true), ZipWriteFailed);
    EXPECT_EQ(writer->CloseArchive(), ZipOk);
    EXPECT_EQ(out.bytes.size(), first_entry + 46 + 7 + 9 + 22) << "cut after the first entry and its directory";
    const auto entries = ziptest::ReadAllEntries(out.bytes);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].second, ziptest::ToBytes(text.substr(0, 100)));
  }
  // A local header that cannot be reached again is reported as such.
  MemorySink::State out;
  auto writer = MemoryWriter(&out);
  out.fail_seeks = true;
  EXPECT_EQ(writer->AddEntry(L"one.txt", ZipSource::Memory(text.data(), 10), true), ZipCannotSeek);
  EXPECT_EQ(writer->AddEntry(L"two.txt", ZipSource::Memory(text.data(), 10), true), ZipWriteFailed);
  EXPECT_EQ(writer->CloseArchive(), ZipWriteFailed) << "the end cannot be found again either";
}

// External attributes and times of disk files, through whole archives; the executable test and
// the time clamps at their edges.
TEST_F(ZipWriterTest, AttributesTimesAndTheExecutableTest) {
  const std::wstring normal = folder_.WriteFile(L"normal.txt", "n");
  const std::wstring read_only = folder_.WriteFile(L"readonly.txt", "r");
  const std::wstring hidden = folder_.WriteFile(L"hidden.txt", "h");
  const std::wstring executable = folder_.WriteFile(L"tool.exe", Image("PE", 0x40, 200));
  const std::wstring old = folder_.WriteFile(L"old.txt", "o");
  const std::wstring future = folder_.WriteFile(L"future.txt", "f");
  ::SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  ::SetFileAttributesW(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  SetTimes(old, FileTimeOf(1965, 3, 4, 5, 6, 7), FileTimeOf(1965, 3, 4, 5, 6, 7));
  SetTimes(future, FileTimeOf(2050, 7, 8, 9, 10, 11), FileTimeOf(2050, 7, 8, 9, 10, 11));

  std::vector<std::tuple<std::wstring, ZipSource, bool>> entries;
  for (const std::wstring* path : {&normal, &read_only, &hidden, &executable, &old, &future}) entries.emplace_back(L"e", ZipSource::File(*path), true);
  const ziptest::ZipListing listing = ziptest::ReadListing(ArchiveOf(entries));
  ::SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_EQ(listing.entries.size(), 6u);
  const uint32_t attributes[] = {0x81800020, 0x81000021, 0x81800026, 0x81C00020};  // normal, read-only, hidden, exe
  for (int i = 0; i < 4; ++i) EXPECT_EQ(listing.entries[i].external_attributes, attributes[i]) << i;
  EXPECT_EQ(ExternalAttributesOf(FILE_ATTRIBUTE_DIRECTORY, false), 0x41800010u);
  // 1965: the DOS fields take their earliest day; the Unix time keeps the time of day on 1970-01-01.
  const ziptest::CentralEntry& old_entry = listing.entries[4];
  EXPECT_EQ(std::make_tuple(old_entry.dos_date, old_entry.dos_time, Le32(old_entry.extra, 5)),
            std::make_tuple((0 << 9) | (1 << 5) | 1, 0, 18367u));  // 05:06:07
  // 2050: DOS holds it; the Unix time stops at 2037-12-31, same time of day.
  const ziptest::CentralEntry& future_entry = listing.entries[5];
  EXPECT_EQ(std::make_tuple(future_entry.dos_date, future_entry.dos_time, Le32(future_entry.extra, 5)),
            std::make_tuple(((2050 - 1980) << 9) | (7 << 5) | 8, (9 << 11) | (10 << 5) | 5, 2145863411u));
  // 2200: past the last DOS day; before 1970 for Windows, or unreadable: Unix time 0.
  uint16_t date = 0, time = 0;
  DosDateTimeOf(FileTimeOf(2200, 1, 1, 0, 0, 0), &date, &time);
  EXPECT_EQ(std::make_tuple(date, time), std::make_tuple(((2107 - 1980) << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29));
  EXPECT_EQ(std::make_tuple(UnixTimeOf(FileTimeOf(1601, 1, 1, 0, 0, 0)), UnixTimeOf(FILETIME{0xFFFFFFFF, 0xFFFFFFFF})),
            std::make_tuple(0, 0));

  const std::pair<std::string, bool> images[] = {
      {Image("PE"), true}, {Image("LE"), true}, {Image("XE"), false}, {"MX" + Image("PE").substr(2), false},
      {Image("PE", 0x80, 0x80 + 52), false},  // the file must reach past the new header
      {"MZ" + std::string(39, '\0'), false}};  // 41 bytes, pointing at 0
  for (const auto& [image, expected] : images) {
    const std::wstring path = folder_.WriteFile(L"probe.bin", image);
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(LooksExecutable(file.Get(), image.size()), expected) << image.size() << " " << image.substr(0x80, 2);
  }
}

TEST_F(ZipWriterTest, TheEndRecordOfNoEntriesAndOfMoreThan65535) {
  MemorySink::State out;
  auto writer = MemoryWriter(&out);
  EXPECT_EQ(writer->CloseArchive(), ZipOk);
  EXPECT_EQ(out.bytes, Expect().U32(0x06054B50).U16(0).U16(0).U16(0).U16(0).U32(0).U32(0).U16(0).bytes);
  EXPECT_EQ(std::make_pair(writer->AddEntry(L"late.txt", ZipSource::Memory("x", 1), true), writer->CloseArchive()),
            std::make_pair(ZipAlreadyClosed, ZipAlreadyClosed));
  EXPECT_EQ(CZipWriter::CreateArchive(folder_.Path() + L"\\no\\such\\folder\\a.zip"), nullptr);
  const std::wstring taken = folder_.WriteFile(L"taken.zip", std::string(5000, 'o'));
  EXPECT_EQ(CZipWriter::CreateArchive(taken), nullptr) << "never over an existing file";
  EXPECT_EQ(ziptest::ReadFileBytes(taken).size(), 5000u);
  const std::wstring on_disk = folder_.Path() + L"\\real.zip";
  auto file_writer = CZipWriter::CreateArchive(on_disk);
  ASSERT_NE(file_writer, nullptr);
  EXPECT_EQ(file_writer->CloseArchive(), ZipOk);
  EXPECT_EQ(ziptest::ReadFileBytes(on_disk), out.bytes);

  // 65,535 is the count field's marker: from there on the count is in the Zip64 end record, and the
  // directory's size and offset stay in the classic record, where they fit.
  for (const int count : {65534, 65535}) {
    MemorySink::State many;
    writer = MemoryWriter(&many);
    ZipLayout layout;
    for (int i = 0; i < count; ++i) {
      const std::wstring name = L"e" + std::to_wstring(i);
      ASSERT_EQ(writer->AddEntry(name, ZipSource::Memory("z", 1), true), ZipOk);
      layout.AddStored(name.size(), 1);
    }
    ASSERT_EQ(writer->CloseArchive(), ZipOk);
    const ziptest::ZipListing listing = ziptest::ReadListing(many.bytes);
    const size_t end = many.bytes.size() - 22;
    EXPECT_TRUE(listing.ok && listing.entries.size() == static_cast<size_t>(count)) << count;
    EXPECT_EQ(std::make_tuple(listing.zip64_end, Le16(many.bytes, end + 10), many.bytes.size()),
              std::make_tuple(count == 65535, std::min(count, 0xFFFF), layout.Size()));
    EXPECT_EQ(Le32(many.bytes, end + 16), end - (count == 65535 ? 76 : 0) - Le32(many.bytes, end + 12));
  }
}

// Keeps the first `front_size` bytes of what is written and everything from `tail_from` on; the
// gigabytes of zeros between are only counted.
class GapSink final : public ZipSink {
 public:
  struct State {
    Bytes front, tail;
    uint64_t position = 0, size = 0, front_size = 1 << 20, tail_from = 1ull << 32;
  };
  explicit GapSink(State* state) : s_(*state) {}
  bool Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i, ++s_.position) {
      if (s_.position < s_.front_size) Put(s_.front, s_.position, bytes[i]);
      if (s_.position >= s_.tail_from) Put(s_.tail, s_.position - s_.tail_from, bytes[i]);
      if (s_.position >= s_.front_size && s_.position < s_.tail_from) {  // skip the run of zeros at once
        const uint64_t skip = std::min<uint64_t>(size - i, s_.tail_from - s_.position) - 1;
        i += static_cast<size_t>(skip);
        s_.position += skip;
      }
    }
    s_.size = std::max(s_.size, s_.position);
    return true;
  }
  bool Seek(uint64_t offset) override {
    s_.position = offset;
    return true;
  }
  bool Truncate() override { return true; }

 private:
  static void Put(Bytes& bytes, uint64_t at, unsigned char value) {
    if (bytes.size() <= at) bytes.resize(static_cast<size_t>(at) + 1);
    bytes[static_cast<size_t>(at)] = value;
  }
  State& s_;
};

// An entry of 0xFFFFFFFF bytes (the size fields' marker value) takes the Zip64 fields in both
// headers; the entry after it starts past 4 GiB and has its offset in a Zip64 field; the
// directory's offset takes the Zip64 end record. The archive is exactly what ZipLayout adds up.
TEST_F(ZipWriterTest, Zip64FieldsWhereAndOnlyWhereAValueOutgrowsItsField) {
  const uint64_t big = 0xFFFFFFFFull;
  const std::wstring sparse = ziptest::SparseFile(folder_.Path() + L"\\big.bin", static_cast<int64_t>(big));
  GapSink::State out;
  auto writer = CZipWriter::CreateArchive(std::make_unique<GapSink>(&out));
  ASSERT_EQ(writer->AddEntry(L"a.txt", ZipSource::Memory("abc", 3), true), ZipOk);
  ASSERT_EQ(writer->AddEntry(L"big.bin", ZipSource::File(sparse), true), ZipOk);
  ASSERT_EQ(writer->AddEntry(L"after.txt", ZipSource::Memory("tail", 4), true), ZipOk);
  ASSERT_EQ(writer->CloseArchive(), ZipOk);
  ZipLayout layout;
  layout.AddStored(5, 3);
  layout.AddStored(7, big);
  layout.AddStored(9, 4);
  EXPECT_EQ(out.size, layout.Size());

  const ziptest::ZipListing listing = ziptest::ReadListing(out.tail, out.tail_from);
  ASSERT_TRUE(listing.ok && listing.zip64_end && listing.entries.size() == 3);
  const uint64_t big_at = 30 + 5 + 17 + 3;
  const uint64_t after_at = big_at + 30 + 7 + 20 + 17 + big;
  const auto& e = listing.entries;
  // version needed, uncompressed and compressed size, offset, extra field's length
  using Row = std::tuple<int, uint64_t, uint64_t, uint64_t, size_t>;
  EXPECT_EQ(Row(e[0].version_needed, e[0].uncompressed, e[0].compressed, e[0].local_offset, e[0].extra.size()), Row(20, 3, 3, 0, 9));
  EXPECT_EQ(Row(e[1].version_needed, e[1].uncompressed, e[1].compressed, e[1].local_offset, e[1].extra.size()), Row(45, big, big, big_at, 9 + 20));
  EXPECT_EQ(Row(e[2].version_needed, e[2].uncompressed, e[2].compressed, e[2].local_offset, e[2].extra.size()), Row(45, 4, 4, after_at, 9 + 12));
  // The big entry's local header: marked sizes, both in its Zip64 field, which comes first.
  const Bytes& front = out.front;
  EXPECT_EQ(std::make_tuple(Le16(front, big_at + 4), Le32(front, big_at + 18), Le32(front, big_at + 22), Le16(front, big_at + 28)),
            std::make_tuple(45, 0xFFFFFFFFu, 0xFFFFFFFFu, 17 + 20));
  EXPECT_EQ(std::make_tuple(Le16(front, big_at + 37), Le16(front, big_at + 39), ziptest::Le64(front, big_at + 41), ziptest::Le64(front, big_at + 49)),
            std::make_tuple(1, 16, big, big));
  // The entry past 4 GiB: classic sizes in its local header, only its offset was too large.
  const size_t after = static_cast<size_t>(after_at - out.tail_from);
  EXPECT_EQ(std::make_tuple(Le16(out.tail, after + 4), Le32(out.tail, after + 22), Le16(out.tail, after + 28)), std::make_tuple(45, 4u, 17));
  // The classic end record keeps what fits: 3 entries, the directory's size; its offset is marked.
  const size_t end = out.tail.size() - 22;
  EXPECT_EQ(std::make_tuple(Le16(out.tail, end + 10), Le32(out.tail, end + 16)), std::make_tuple(3, 0xFFFFFFFFu));
}

}  // namespace
}  // namespace zel::zip
