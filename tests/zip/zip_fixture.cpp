// Writes archives of every kind the module makes, for zip_checkers.sh to test with the Linux
// readers (unzip, python3 -m zipfile, 7z). Usage: zip_fixture OUTPUT-FOLDER
//
// For each case <name> it leaves OUTPUT\<name>-stored.zip and OUTPUT\<name>-deflated.zip (or one
// OUTPUT\<name>.zip for the log and empty archives) and the files that went into them under
// OUTPUT\src\<name>\, laid out as the archives name them: an extraction must equal that folder
// byte for byte. Two archives go through the zip jobs themselves, in the output folder (the
// temporary folder of this process): big.zip, three sparse files of 1.6 GiB (Zip64 sizes and
// offsets), and count.zip, the 70,000 one-byte files the script made under OUTPUT\src\count\count
// (a Zip64 entry count); each must come out at exactly the size its job announced.

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/product_folders.h"
#include "common/scoped_variant.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "common/vutil.h"
#include "support/test_support.h"
#include "zip/zip_entry_tree.h"
#include "zip/zip_job_hooks.h"
#include "zip/zip_jobs.h"
#include "zip/zip_logs.h"
#include "zip/zip_paths.h"
#include "zip/zip_writer.h"
#include "zip_test_support.h"

namespace {

std::wstring g_output;
int g_failures = 0;

void Fail(const std::wstring& what) {
  std::fprintf(stderr, "zip_fixture: %s\n", zel::WideToUtf8(what).c_str());
  ++g_failures;
}

std::wstring WriteSource(const std::wstring& file, const std::string& bytes) {
  ::SHCreateDirectoryExW(nullptr, file.substr(0, file.rfind(L'\\')).c_str(), nullptr);
  zel::UniqueFile handle(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (!handle || (!bytes.empty() && !::WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))) {
    Fail(L"cannot write " + file);
  }
  return file;
}

std::string Text(ziptest::Kind kind, size_t size, unsigned seed) {
  const ziptest::Bytes bytes = ziptest::Generate(kind, size, seed);
  return std::string(bytes.begin(), bytes.end());
}
std::string Random(size_t size, unsigned seed) { return Text(ziptest::Kind::kRandom, size, seed); }
std::string Words(size_t size, unsigned seed) { return Text(ziptest::Kind::kText, size, seed); }

// A case: its name and its files (path below the case folder, bytes).
struct Case {
  std::wstring name;
  std::vector<std::pair<std::wstring, std::string>> files;
};

// <name>-stored.zip and <name>-deflated.zip of files under OUTPUT\src\<name>\<name>\: the tree
// names them <name>\...
void TreeArchives(const Case& c) {
  std::vector<std::wstring> paths;
  for (const auto& [relative, bytes] : c.files) {
    paths.push_back(WriteSource(g_output + L"\\src\\" + c.name + L"\\" + c.name + L"\\" + relative, bytes));
  }
  for (bool store_only : {true, false}) {
    zel::zip::CZipEntryTree tree;
    for (const std::wstring& path : paths) tree.AddFile(path);
    const std::wstring archive = g_output + L"\\" + c.name + (store_only ? L"-stored.zip" : L"-deflated.zip");
    if (tree.WriteArchive(archive, store_only) != zel::zip::ZipWriteOutcome::kFinished) Fail(L"WriteArchive " + archive);
  }
}

// A ZipLogs archive of a sub-folder of the data folder holding the case's files (entries made
// from memory), moved next to the others.
void LogsArchive(const Case& c) {
  const std::wstring data = zel::GetProductFolder(zel::ProductFolder::kData).value_or(L"");
  const std::wstring sub = L"zelfixture-" + std::to_wstring(::GetCurrentProcessId());
  for (const auto& [relative, bytes] : c.files) {
    WriteSource(data + L"\\" + sub + L"\\" + c.name + L"\\" + relative, bytes);
    WriteSource(g_output + L"\\src\\" + c.name + L"\\" + c.name + L"\\" + relative, bytes);
  }
  const zel::ScopedVariant input = zel::StringVariant(sub);
  zel::ScopedVariant output;
  if (zel::zip::ZipLogs(zel::zip::DecodeLogsRequest(*input), *output) != 0) return Fail(L"ZipLogs " + c.name);
  const std::wstring archive = zel::VUtil::GetStringElement(*output, 0);
  if (!::MoveFileExW(archive.c_str(), (g_output + L"\\" + c.name + L".zip").c_str(),
                     MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING)) {
    Fail(L"move " + c.name);
  }
  zeltest::RemoveTree(data + L"\\" + sub);
}

// An archive of `paths` made by a zip job with the output folder as its temporary folder, renamed
// to OUTPUT\<name>.zip once its worker has ended; its size must be the one announced.
void JobArchive(const std::wstring& name, const std::vector<std::wstring>& paths) {
  ::SetEnvironmentVariableW(L"TMP", g_output.c_str());
  zel::ScopedVariant output;
  std::vector<zel::UniqueKernelHandle> workers;
  zel::zip::ZipJobHooks hooks;
  hooks.wait_ms = 0;
  hooks.on_worker = [&workers](zel::UniqueKernelHandle worker) { workers.push_back(std::move(worker)); };
  zel::zip::ZipJobs jobs(hooks);
  const DWORD start = ::GetTickCount();
  if (jobs.CreateZipOfPaths(paths, *output) != 0 || workers.empty()) return Fail(L"CreateZip " + name);
  const DWORD answered = ::GetTickCount() - start;
  ::WaitForSingleObject(workers[0].Get(), INFINITE);
  const std::wstring archive = zel::VUtil::GetStringElement(*output, 0);
  zel::ScopedVariant size;
  zel::VUtil::GetElement(*output, 1, size.Get());
  WIN32_FILE_ATTRIBUTE_DATA data{};
  const long long written = ::GetFileAttributesExW(archive.c_str(), GetFileExInfoStandard, &data)
                                ? (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                                : -1;
  std::printf("zip_fixture: %s: %u entries, %lld bytes announced after %lu ms, written after %lu ms\n",
              zel::WideToUtf8(name).c_str(), static_cast<unsigned>(paths.size()), V_I8(size.Get()),
              static_cast<unsigned long>(answered), static_cast<unsigned long>(::GetTickCount() - start));
  if (size.Type() != VT_I8 || V_I8(size.Get()) != written) Fail(L"announced and written sizes differ: " + name);
  if (!::MoveFileW(archive.c_str(), (g_output + L"\\" + name + L".zip").c_str())) Fail(L"move " + name);
}

constexpr int64_t kEpisodeSize = 1717986918;  // 1.6 GiB

// Three 1.6 GiB sparse "episodes", each with a few distinct bytes at its start, middle and end.
std::vector<std::wstring> Episodes() {
  std::vector<std::wstring> paths;
  const int64_t size = kEpisodeSize;
  for (int i = 1; i <= 3; ++i) {
    const std::wstring path = g_output + L"\\src\\big\\big\\e0" + std::to_wstring(i) + L".mkv";
    ::SHCreateDirectoryExW(nullptr, (g_output + L"\\src\\big\\big").c_str(), nullptr);
    ziptest::SparseFile(path, size);
    zel::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    for (const int64_t at : {int64_t{0}, size / 2, size - 100}) {
      const std::string marker = Random(100, static_cast<unsigned>(i * 10 + at % 7));
      LARGE_INTEGER position;
      position.QuadPart = at;
      DWORD written = 0;
      if (!file || !::SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN) ||
          !::WriteFile(file.Get(), marker.data(), 100, &written, nullptr)) {
        Fail(L"cannot write " + path);
      }
    }
    paths.push_back(path);
  }
  return paths;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zip_fixture OUTPUT-FOLDER\n");
    return 2;
  }
  g_output = argv[1];
  ::SHCreateDirectoryExW(nullptr, (g_output + L"\\src\\empty").c_str(), nullptr);

  // An archive without entries: only the end record.
  auto writer = zel::zip::CZipWriter::CreateArchive(g_output + L"\\empty.zip");
  if (writer == nullptr || writer->CloseArchive() != zel::zip::ZipOk) Fail(L"empty archive");

  Case many{L"many", {}};
  for (int i = 0; i < 10000; ++i) {
    many.files.push_back({L"f" + std::to_wstring(i / 100) + L"\\" + std::to_wstring(i) + L".txt",
                          "file " + std::to_string(i) + "\n" + std::string(static_cast<size_t>(i % 50), 'x')});
  }
  const Case cases[] = {
      {L"empties", {{L"a.txt", ""}, {L"b\\c.txt", ""}, {L"d", ""}}},
      {L"onebyte", {{L"x.bin", "Z"}}},
      {L"random", {{L"random.bin", Random(3 << 20, 1)}, {L"small.bin", Random(1000, 2)}}},
      {L"repetitive",
       {{L"zeros.bin", std::string(5 << 20, '\0')}, {L"abc.txt", std::string(3 << 20, 'a') + "bc"},
        {L"period.txt", Words(200, 3) + Words(200, 3) + Words(200, 3)}}},
      {L"text", {{L"words.txt", Words(2 << 20, 4)}, {L"edge65536.txt", Words(65536, 5)}, {L"edge32769.txt", Words(32769, 6)}}},
      {L"unicode",
       {{L"M\u00fcsik\\\u03a9mega.txt", Words(5000, 7)}, {L"\u65e5\u672c\u8a9e.txt", "nihongo"},
        {L"emoji \U0001F600.bin", Random(300, 8)}}},
      {L"suffixes",
       {{L"a.zip", Words(4000, 9)}, {L"B.GZ", Words(4000, 10)}, {L"c.tgz", Words(4000, 11)}, {L"d.Z", Words(4000, 12)},
        {L"data.zip.txt", Words(4000, 13)}, {L"dir.gz\\plain", Words(4000, 14)}}},
      many};
  for (const Case& c : cases) TreeArchives(c);
  LogsArchive({L"logs", {{L"ZovIdivariRuder.log", Words(300000, 17)}, {L"old\\a.log.gz", Random(5000, 18)},
                         {L"Zel\\zel.xml", "<?xml version=\"1.0\"?>\n<zel/>\n"}}});
  JobArchive(L"count", {g_output + L"\\src\\count\\count"});
  const std::vector<std::wstring> episodes = Episodes();
  JobArchive(L"big", episodes);
  zel::ScopedVariant counted;  // [3, 3 x 1.6 GiB]
  zel::ScopedVariant count;
  zel::ScopedVariant total;
  const bool answered = zel::zip::QueryFileSizeOfPaths(episodes, *counted) == 0;
  if (answered) {
    zel::VUtil::GetElement(*counted, 0, count.Get());
    zel::VUtil::GetElement(*counted, 1, total.Get());
  }
  if (!answered || count.Type() != VT_I4 || V_I4(count.Get()) != 3 || total.Type() != VT_I8 ||
      V_I8(total.Get()) != 3 * kEpisodeSize) {
    Fail(L"QueryFileSize of the episodes");
  }
  return g_failures == 0 ? 0 : 1;
}
