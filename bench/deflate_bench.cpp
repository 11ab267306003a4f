// Our deflate against zlib's at the same level (8), on a mixed corpus gathered from the Debian
// system at run time (Z:\ is the Linux root under Wine): text, source code, binaries and data that
// is already compressed, 16 MiB of each. Every file is compressed on its own, as zip entries are,
// from memory, by one compressor object reused from file to file (zlib: deflateReset). Targets:
// size at most 1 % above zlib's, speed at least zlib's (aim 1.5x). Each side runs three times,
// alternating, and its best time counts, since the machine is shared.

#include <windows.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/unique_handle.h"
#include "zip/deflate.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kCategoryBytes = 16u << 20;
constexpr size_t kLargestFile = 2u << 20;

struct Category {
  const char* name;
  std::vector<std::wstring> roots;
  bool (*wanted)(const std::wstring& name);
  std::vector<Bytes> files = {};
  size_t total = 0;
};

bool EndsWith(const std::wstring& text, const wchar_t* suffix) {
  const size_t length = wcslen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

Bytes ReadWhole(const std::wstring& path, size_t limit) {
  zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 || size.QuadPart > static_cast<LONGLONG>(limit)) {
    return {};
  }
  Bytes bytes(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  if (!::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()) return {};
  return bytes;
}

// Depth-first, in the order the file system lists, until the category is full.
void Gather(Category& category, const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  zel::UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!find) return;
  do {
    if (category.total >= kCategoryBytes) return;
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) Gather(category, path);
    } else if (category.wanted(name)) {
      Bytes bytes = ReadWhole(path, std::min(kLargestFile, kCategoryBytes - category.total));
      if (!bytes.empty()) {
        category.total += bytes.size();
        category.files.push_back(std::move(bytes));
      }
    }
  } while (::FindNextFileW(find.Get(), &found));
}

class MemoryInput final : public zel::zip::DeflateInput {
 public:
  explicit MemoryInput(const Bytes& bytes) : bytes_(bytes) {}
  size_t Read(unsigned char* buffer, size_t capacity) override {
    const size_t count = std::min(capacity, bytes_.size() - at_);
    std::memcpy(buffer, bytes_.data() + at_, count);
    at_ += count;
    return count;
  }

 private:
  const Bytes& bytes_;
  size_t at_ = 0;
};

class CountingOutput final : public zel::zip::DeflateOutput {
 public:
  bool Write(const unsigned char*, size_t size) override {
    total += size;
    return true;
  }
  uint64_t total = 0;
};

struct Run {
  uint64_t compressed = 0;
  double seconds = 1e30;
};

Run Ours(const std::vector<Bytes>& files) {
  auto compressor = zel::zip::DeflateCompressor::Create(zel::zip::kZipDeflateLevel);
  unsigned char buffer[16384];
  Run run;
  CountingOutput output;
  const double start = zelbench::Now();
  for (const Bytes& file : files) {
    MemoryInput input(file);
    uint64_t size = 0;
    compressor->Compress(input, buffer, sizeof(buffer), output, &size);
  }
  run.seconds = zelbench::Now() - start;
  run.compressed = output.total;
  return run;
}

Run Zlib(const std::vector<Bytes>& files) {
  z_stream stream{};
  deflateInit2(&stream, 8, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(16384);
  Run run;
  const double start = zelbench::Now();
  for (const Bytes& file : files) {
    deflateReset(&stream);
    stream.next_in = const_cast<Bytef*>(file.data());
    stream.avail_in = static_cast<uInt>(file.size());
    int result;
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      result = deflate(&stream, Z_FINISH);
      run.compressed += out.size() - stream.avail_out;
    } while (result == Z_OK);
  }
  run.seconds = zelbench::Now() - start;
  deflateEnd(&stream);
  return run;
}

}  // namespace

int main() {
  std::vector<Category> categories = {
      {"text", {L"Z:\\usr\\share\\doc", L"Z:\\usr\\share\\common-licenses"},
       [](const std::wstring& n) { return !EndsWith(n, L".gz") && !EndsWith(n, L".png") && !EndsWith(n, L".jpg"); }},
      {"source code", {L"Z:\\usr\\include", L"Z:\\usr\\lib\\python3.11"},
       [](const std::wstring& n) { return EndsWith(n, L".h") || EndsWith(n, L".py") || EndsWith(n, L".hpp"); }},
      {"binaries", {L"Z:\\usr\\bin", L"Z:\\usr\\lib\\x86_64-linux-gnu"}, [](const std::wstring&) { return true; }},
      {"compressed", {L"Z:\\usr\\share\\man", L"Z:\\usr\\share\\doc"},
       [](const std::wstring& n) { return EndsWith(n, L".gz"); }},
  };
  std::vector<Bytes> all;
  for (Category& category : categories) {
    for (const std::wstring& root : category.roots) Gather(category, root);
    all.insert(all.end(), category.files.begin(), category.files.end());
  }

  Run ours_total{0, 0.0};
  Run zlib_total{0, 0.0};
  std::printf("%-12s %8s %7s %12s %12s %7s %9s %9s %6s\n", "corpus", "MiB", "files", "ours bytes", "zlib bytes",
              "size", "ours MB/s", "zlib MB/s", "speed");
  for (Category& category : categories) {
    Run ours, theirs;
    for (int round = 0; round < 3; ++round) {
      const Run a = Ours(category.files);
      const Run b = Zlib(category.files);
      ours = {a.compressed, std::min(ours.seconds, a.seconds)};
      theirs = {b.compressed, std::min(theirs.seconds, b.seconds)};
    }
    const double mb = category.total / 1e6;
    std::printf("%-12s %8.1f %7zu %12llu %12llu %7.4f %9.1f %9.1f %6.2f\n", category.name, category.total / 1048576.0,
                category.files.size(), static_cast<unsigned long long>(ours.compressed),
                static_cast<unsigned long long>(theirs.compressed), double(ours.compressed) / theirs.compressed,
                mb / ours.seconds, mb / theirs.seconds, theirs.seconds / ours.seconds);
    ours_total.compressed += ours.compressed;
    zlib_total.compressed += theirs.compressed;
    ours_total.seconds += ours.seconds;
    zlib_total.seconds += theirs.seconds;
  }
  size_t total = 0;
  for (const Category& category : categories) total += category.total;
  const double mb = total / 1e6;
  std::printf("\n");
  zelbench::Report("deflate level 8, mixed corpus: size (bytes)", double(ours_total.compressed), "bytes",
                   double(zlib_total.compressed), "zlib level 8");
  zelbench::Report("deflate level 8, mixed corpus: speed", mb / ours_total.seconds, "MB/s", mb / zlib_total.seconds,
                   "zlib level 8");
  return 0;
}
