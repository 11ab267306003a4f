#include "zip/zip_logs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <new>

#include <psapi.h>
#include <string>

#include "base64.h"
#include "common/product_folders.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "common/vutil.h"
#include "support/host_process.h"
#include "support/test_support.h"
#include "zip/zip_jobs.h"
#include "zip/zip_paths.h"
#include "zip_test_support.h"

namespace zel::zip {
namespace {

using zeltest::J;
using zeltest::Json;
using zeltest::Narrow;
using zeltest::V;

using ziptest::TemporaryArchives;

// A folder of this test inside the module's data folder, removed at the end.
class ZipLogsTest : public ::testing::Test {
 protected:
  void SetUp() override {  // the folder comes with the first file written
    const std::optional<std::wstring> data_folder = GetProductFolder(ProductFolder::kData);
    ASSERT_TRUE(data_folder);
    const std::wstring& data = *data_folder;
    name_ = zeltest::UniqueName(L"zeltest-logs");
    folder_ = data + L"\\" + name_;
  }
  void TearDown() override { zeltest::RemoveTree(folder_); }

  void Write(const std::wstring& relative, const std::string& bytes) {
    const std::filesystem::path path = folder_ + L"\\" + relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }

  // Runs ZipLogs; on success returns the archive's bytes and deletes it.
  LONG Zip(const VARIANT& input, ziptest::Bytes* archive) {
    ScopedVariant output;
    const LONG rc = ZipLogs(DecodeLogsRequest(input), *output);
    if (rc == 0) {
      const std::wstring path = VUtil::GetStringElement(*output, 0);
      EXPECT_EQ(path.substr(0, path.rfind(L'\\') + 1), TemporaryFolder());
      *archive = ziptest::ReadFileBytes(path);
      EXPECT_EQ(J(*output)[1], static_cast<long long>(archive->size())) << "the size as VT_I4";
      ZipJobs jobs;
      EXPECT_EQ(DeleteTempFile(jobs, {path}), 0)
          << "no job is registered for it: the file is simply deleted";
    }
    return rc;
  }

  std::wstring name_;
  std::wstring folder_;
};

TEST_F(ZipLogsTest, ASubFolderIsDeflatedUnderItsDeepestCommonFolder) {
  std::string log;
  for (int i = 0; i < 3000; ++i) log += "2026/01/01 12:00:00.00 [INFO] - request " + std::to_string(i) + " returned 0\n";
  const std::string packed(5000, 'p');  // stored for its name, however well it would compress
  Write(L"Logs\\ZovIdivariRuder.log", log);
  Write(L"Logs\\empty.log", "");
  Write(L"Logs\\old\\archive.log.gz", packed);
  Write(L"Logs\\old\\note.txt", "n");
  // Held by another process that shares nothing: left out, and said so inside the archive.
  Write(L"Logs\\held.log", "held");
  const UniqueFile held(::CreateFileW((folder_ + L"\\Logs\\held.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);

  ziptest::Bytes archive;
  ASSERT_EQ(Zip(*V(zelhost::DumpJson(Narrow(name_))), &archive), 0);
  auto entries = ziptest::ReadAllEntries(archive);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().first, "left-out.txt") << "the list of what is missing comes last";
  const std::string list(entries.back().second.begin(), entries.back().second.end());
  const std::string held_line = "Logs/held.log: it cannot be opened (error 32: another process holds it)\r\n";
  const std::string heading = "Files left out of this archive:\r\n";
  EXPECT_EQ(list, heading + held_line);
  const auto logged = zeltest::ModuleLogLinesWith("[ERROR] - ZipLogs: left ");
  EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                          [&](const std::string& line) { return line.find(Narrow(name_)) != std::string::npos; }),
            1);
  std::sort(entries.begin(), entries.end());
  // The empty file is an empty entry; the suffix rule is the writer's.
  entries.erase(std::find_if(entries.begin(), entries.end(), [](const auto& entry) { return entry.first == "left-out.txt"; }));
  EXPECT_EQ(entries, (std::vector<std::pair<std::string, ziptest::Bytes>>{
                         {"Logs/ZovIdivariRuder.log", ziptest::ToBytes(log)}, {"Logs/empty.log", {}},
                         {"Logs/old/archive.log.gz", ziptest::ToBytes(packed)},
                         {"Logs/old/note.txt", ziptest::ToBytes("n")}}));
  EXPECT_LT(archive.size(), log.size() / 5) << "the log was compressed";

  // The sub-folder named alone: the deepest folder holding all files is Logs itself. Once nothing
  // is left out, there is no list.
  ASSERT_EQ(Zip(*V(zelhost::DumpJson(Narrow(name_ + L"\\Logs\\old"))), &archive), 0);
  const auto listing = ziptest::ReadListing(archive).entries;
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_EQ(listing[0].name.substr(0, 4), "old/");
  EXPECT_EQ(listing[1].name.substr(0, 4), "old/");
}

TEST_F(ZipLogsTest, OtherInputsMeanTheWholeDataFolderAndAFolderWithoutFilesTheEndRecordAlone) {
  Write(L"marker.txt", "whole data folder");
  // Where the marker is the data folder's only file (a fresh prefix), its own folder is the top one.
  const std::string marker = "/" + Narrow(name_) + "/marker.txt";
  for (const char* input : {"null", R"({"byref": "Logs"})", R"({"bstr": null})"}) {
    ziptest::Bytes archive;
    ASSERT_EQ(Zip(*V(input), &archive), 0) << input;
    const auto entries = ziptest::ReadAllEntries(archive);
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const auto& entry) {
      const std::string name = "/" + entry.first;
      return name.size() >= marker.size() && name.compare(name.size() - marker.size(), marker.size(), marker) == 0 &&
             entry.second == ziptest::ToBytes("whole data folder");
    })) << input;
  }
  ::CreateDirectoryW((folder_ + L"\\nothing").c_str(), nullptr);
  for (const wchar_t* sub : {L"\\nothing", L"\\missing"}) {
    ziptest::Bytes archive;
    ASSERT_EQ(Zip(*V(zelhost::DumpJson(Narrow(name_ + sub))), &archive), 0);
    EXPECT_EQ(archive.size(), 22u);
  }
}

// Escapes are refused before anything is archived, however they are spelled or however long; links
// that lead out of the data folder are judged by where they lead, never followed out.
TEST_F(ZipLogsTest, EscapesAreRefusedAndLinksLeadingOutAreNotFollowed) {
  Write(L"inside.txt", "x");
  const std::wstring outside = L"Z:\\tmp\\" + zeltest::UniqueName(L"zeltest-secrets");
  ASSERT_TRUE(::CreateDirectoryW(outside.c_str(), nullptr));
  std::ofstream(std::filesystem::path(outside + L"\\secret.txt"), std::ios::binary) << "secret";
  ASSERT_TRUE(ziptest::MakeLink(outside, folder_ + L"\\outdir", true));
  ASSERT_TRUE(ziptest::MakeLink(outside + L"\\secret.txt", folder_ + L"\\linked.txt", false));
  const size_t before = TemporaryArchives();
  // A climb, a climb after a real folder, a drive or stream colon, rooted and network paths, a
  // climb in disguise (Windows drops trailing dots and blanks), paths too long for any folder, a
  // linked folder that leads out.
  for (const std::wstring& sub : {std::wstring(L".."), name_ + L"\\..\\..", std::wstring(L"D:relative"),
                                  std::wstring(L"/Windows"), std::wstring(L"\\\\server\\share"), std::wstring(L".. \\x"),
                                  std::wstring(300, L'a'), std::wstring(1030, L'a'), std::wstring(5000, L'\\'),
                                  name_ + L"\\outdir"}) {
    ScopedVariant output;
    EXPECT_EQ(ZipLogs({sub}, *output), 403) << Narrow(sub.substr(0, 40));
    EXPECT_EQ(output.Type(), VT_EMPTY);
  }
  EXPECT_EQ(TemporaryArchives(), before) << "no archive was started";
  // Staying inside is fine, a leading "\" dropped as PathAppendW drops it; the file link is left out.
  for (const std::wstring& sub : {L".\\" + name_, L"\\" + name_}) {
    ziptest::Bytes archive;
    ASSERT_EQ(Zip(*V(zelhost::DumpJson(Narrow(sub))), &archive), 0) << Narrow(sub);
    const auto entries = ziptest::ReadAllEntries(archive);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, Narrow(name_) + "/inside.txt");
    EXPECT_EQ(entries[1], std::make_pair(std::string("left-out.txt"),
                                         ziptest::ToBytes("Files left out of this archive:\r\n" + Narrow(name_) +
                                                          "/linked.txt: it leads out of the data folder\r\n")));
  }
  for (const wchar_t* link : {L"\\outdir", L"\\linked.txt"}) ziptest::RemoveLink(folder_ + link);
  zeltest::RemoveTree(outside);
}

// Files are streamed in pieces: zipping a large log takes no more memory than a small one.
TEST_F(ZipLogsTest, PeakMemoryDoesNotGrowWithTheFileSize) {
  const auto peak = [] {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize);
  };
  Write(L"small\\app.log", std::string(1000, 's'));
  ziptest::Bytes archive;
  ASSERT_EQ(Zip(*V(zelhost::DumpJson(Narrow(name_ + L"\\small"))), &archive), 0);
  const double small_peak = peak();
  ::CreateDirectoryW((folder_ + L"\\large").c_str(), nullptr);
  const int64_t large = int64_t{384} << 20;
  ziptest::SparseFile(folder_ + L"\\large\\app.log", large);
  ScopedVariant output;
  ASSERT_EQ(ZipLogs({name_ + L"\\large"}, *output), 0);
  const double large_peak = peak();
  std::printf("ZipLogs peak working set: 1000-byte log %.1f MiB, 384 MiB log %.1f MiB (ratio %.3f)\n",
              small_peak / 1048576, large_peak / 1048576, large_peak / small_peak);
  EXPECT_LT(large_peak - small_peak, 64.0 * 1048576);
  EXPECT_EQ(DeleteOwnArchive(VUtil::GetStringElement(*output, 0)), 0);
}

// The client's way in: zelhost.exe loading the module DLL.
TEST(ZipHostTest, ZipLogsAnswersAnArchiveThatGetFileReturnsAndDeleteTempFileRemoves) {
  zeltest::LogLevelValue restored_afterwards(3);  // the host writes the value it is given
  const zeltest::HostRun zipped = zeltest::RunHost({L"call", L"ZipLogs", L"null", L"--log-level", L"3"});
  ASSERT_EQ(zipped.exit_code, 0u) << zipped.err;
  const Json answer = zelhost::ParseJson(zipped.out);
  ASSERT_EQ(answer["rc"], 0) << zipped.out;
  const std::string path = answer["output"][0];
  EXPECT_NE(path.find("\\Zuv"), std::string::npos) << path;

  const Json fetched = zelhost::ParseJson(zeltest::RunHost({L"call", L"GetFile", Utf8ToWide("[" + zelhost::DumpJson(path) + "]")}).out);
  ASSERT_EQ(fetched["rc"], 0);
  const ziptest::Bytes archive = ziptest::ToBytes(zelhost::Base64Decode(fetched["output"]["bytes"].get<std::string>()).value_or(""));
  EXPECT_EQ(static_cast<long long>(archive.size()), answer["output"][1].get<long long>());
  EXPECT_EQ(archive, ziptest::ReadFileBytes(Utf8ToWide(path)));
  EXPECT_FALSE(ziptest::ReadAllEntries(archive).empty());

  const zeltest::HostRun deleted = zeltest::RunHost({L"call", L"DeleteTempFile", Utf8ToWide("[\"\", " + zelhost::DumpJson(path) + "]")});
  EXPECT_EQ(zelhost::ParseJson(deleted.out)["rc"], 0) << deleted.out;
  EXPECT_EQ(::GetFileAttributesW(Utf8ToWide(path).c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
}  // namespace zel::zip
