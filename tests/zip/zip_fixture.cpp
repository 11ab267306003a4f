// Writes archives of every kind the module makes, for zip_checkers.sh to test with the Linux
// readers (unzip, python3 -m zipfile, 7z). Usage: zip_fixture OUTPUT-FOLDER
//
// For each case <name> it leaves OUTPUT\<name>-stored.zip and OUTPUT\<name>-deflated.zip (or one
// OUTPUT\<name>.zip for the log and empty archives) and the files that went into them under
// OUTPUT\src\<name>\, laid out as the archives name them: an extraction must equal that folder
// byte for byte.

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
  return g_failures == 0 ? 0 : 1;
}
