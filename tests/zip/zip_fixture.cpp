// Writes archives of every kind the module makes, for zip_checkers.sh to test with the Linux
// readers (unzip, python3 -m zipfile, 7z). Usage: zip_fixture OUTPUT-FOLDER
//
// For each case <name> it leaves OUTPUT\<name>-stored.zip and OUTPUT\<name>-deflated.zip (or one
// OUTPUT\<name>.zip for the job, log and empty archives) and the files that went into them under
// OUTPUT\src\<name>\, laid out as the archives name them: an extraction must equal that folder
// byte for byte.

#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/scoped_variant.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "common/vutil.h"
#include "support/test_support.h"
#include "zip/zip_entry_tree.h"
#include "zip/zip_jobs.h"
#include "zip/zip_logs.h"
#include "zip/zip_paths.h"
#include "zip/zip_writer.h"

namespace {

using zel::zip::CZipEntryTree;
using zel::zip::CZipWriter;

std::wstring g_output;
int g_failures = 0;

void Fail(const std::wstring& what) {
  std::fprintf(stderr, "zip_fixture: %s\n", zel::WideToUtf8(what).c_str());
  ++g_failures;
}

void MakeFolders(const std::wstring& path) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  ::CreateDirectoryW(path.c_str(), nullptr);
}

std::wstring WriteSource(const std::wstring& file, const std::string& bytes) {
  MakeFolders(file.substr(0, file.rfind(L'\\')));
  zel::UniqueFile handle(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (!handle || (!bytes.empty() && !::WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))) {
    Fail(L"cannot write " + file);
  }
  return file;
}

std::string Random(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::string Words(size_t size, unsigned seed) {
  static const char* kWords[] = {"zip ", "archive ", "deflate ", "the ", "of ", "window ", "match ", "\n", "block ", "Huffman "};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) text += kWords[random() % 10];
  text.resize(size);
  return text;
}

// A case whose files all live under OUTPUT\src\<name>\<name>\: the tree names them <name>\...
struct Case {
  std::wstring name;
  std::vector<std::pair<std::wstring, std::string>> files;  // path below the case folder, bytes
};

std::vector<std::wstring> WriteCase(const Case& c) {
  std::vector<std::wstring> paths;
  for (const auto& [relative, bytes] : c.files) {
    paths.push_back(WriteSource(g_output + L"\\src\\" + c.name + L"\\" + c.name + L"\\" + relative, bytes));
  }
  return paths;
}

// <name>-stored.zip and <name>-deflated.zip, from one copy of the files.
void TreeArchives(const Case& c) {
  const std::vector<std::wstring> paths = WriteCase(c);
  for (bool store_only : {true, false}) {
    CZipEntryTree tree;
    for (const std::wstring& path : paths) tree.AddFile(path);
    const std::wstring archive = g_output + L"\\" + c.name + (store_only ? L"-stored.zip" : L"-deflated.zip");
    if (!tree.WriteArchive(archive, store_only)) Fail(L"WriteArchive " + archive);
  }
}

// A CreateZip job over the case's files, the archive moved next to the others.
void JobArchive(const Case& c) {
  const std::vector<std::wstring> paths = WriteCase(c);
  zel::ScopedVariant output;
  zel::UniqueKernelHandle worker;
  zel::zip::ZipJobOptions options;
  options.worker = &worker;
  if (zel::zip::CreateZipOfPaths(paths, *output, options) != 0) return Fail(L"CreateZip " + c.name);
  ::WaitForSingleObject(worker.Get(), INFINITE);
  zel::ScopedVariant path;
  zel::VUtil::GetElement(*output, 0, path.Get());
  if (!::MoveFileExW(V_BSTR(path.Get()), (g_output + L"\\" + c.name + L".zip").c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING)) {
    Fail(L"move " + c.name);
  }
}

// A ZipLogs archive of a sub-folder of the data folder holding the case's files.
void LogsArchive(const Case& c) {
  std::wstring data;
  zel::zip::ModuleDataFolder(&data);
  const std::wstring sub = L"zelfixture-" + std::to_wstring(::GetCurrentProcessId());
  for (const auto& [relative, bytes] : c.files) {
    WriteSource(data + L"\\" + sub + L"\\" + c.name + L"\\" + relative, bytes);
    WriteSource(g_output + L"\\src\\" + c.name + L"\\" + c.name + L"\\" + relative, bytes);
  }
  zel::ScopedVariant input;
  V_VT(input.Get()) = VT_BSTR;
  V_BSTR(input.Get()) = ::SysAllocString(sub.c_str());
  zel::ScopedVariant output;
  if (zel::zip::ZipLogs(*input, *output) != 0) return Fail(L"ZipLogs " + c.name);
  zel::ScopedVariant path;
  zel::VUtil::GetElement(*output, 0, path.Get());
  if (!::MoveFileExW(V_BSTR(path.Get()), (g_output + L"\\" + c.name + L".zip").c_str(),
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
  MakeFolders(g_output + L"\\src\\empty");

  // An archive without entries: only the end record.
  if (auto writer = CZipWriter::CreateArchive(g_output + L"\\empty.zip")) {
    if (writer->CloseArchive() != zel::zip::ZipOk) Fail(L"empty archive");
  } else {
    Fail(L"cannot create empty.zip");
  }

  const Case empties{L"empties", {{L"a.txt", ""}, {L"b\\c.txt", ""}, {L"d", ""}}};
  const Case one_byte{L"onebyte", {{L"x.bin", "Z"}}};
  const Case random{L"random", {{L"random.bin", Random(3 << 20, 1)}, {L"small.bin", Random(1000, 2)}}};
  const Case repetitive{L"repetitive",
                        {{L"zeros.bin", std::string(5 << 20, '\0')}, {L"abc.txt", std::string(3 << 20, 'a') + "bc"},
                         {L"period.txt", Words(200, 3) + Words(200, 3) + Words(200, 3)}}};
  const Case text{L"text", {{L"words.txt", Words(2 << 20, 4)}, {L"edge65536.txt", Words(65536, 5)},
                            {L"edge32769.txt", Words(32769, 6)}}};
  Case many{L"many", {}};
  for (int i = 0; i < 10000; ++i) {
    many.files.push_back({L"f" + std::to_wstring(i / 100) + L"\\" + std::to_wstring(i) + L".txt",
                          "file " + std::to_string(i) + "\n" + std::string(static_cast<size_t>(i % 50), 'x')});
  }
  const Case unicode{L"unicode",
                     {{L"M\u00fcsik\\\u03a9mega.txt", Words(5000, 7)},
                      {L"\u65e5\u672c\u8a9e.txt", "nihongo"},
                      {L"emoji \U0001F600.bin", Random(300, 8)}}};
  const Case suffixes{L"suffixes",
                      {{L"a.zip", Words(4000, 9)}, {L"B.GZ", Words(4000, 10)}, {L"c.tgz", Words(4000, 11)},
                       {L"d.Z", Words(4000, 12)}, {L"data.zip.txt", Words(4000, 13)}, {L"dir.gz\\plain", Words(4000, 14)}}};

  for (const Case& c : {empties, one_byte, random, repetitive, text, unicode, suffixes, many}) TreeArchives(c);

  Case job{L"job", {{L"one.txt", Words(10000, 15)}, {L"two\\two.bin", Random(70000, 16)}, {L"three\\empty.txt", ""}}};
  JobArchive(job);
  Case logs{L"logs", {{L"ZovIdivariRuder.log", Words(300000, 17)}, {L"old\\a.log.gz", Random(5000, 18)},
                      {L"Zel\\zel.xml", "<?xml version=\"1.0\"?>\n<zel/>\n"}}};
  LogsArchive(logs);
  return g_failures == 0 ? 0 : 1;
}
