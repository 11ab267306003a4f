#include "zip/zip_logs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "base64.h"
#include "common/text.h"
#include "common/vutil.h"
#include "support/host_process.h"
#include "support/test_support.h"
#include "zip/zip_jobs.h"
#include "zip/zip_paths.h"
#include "zip_test_support.h"

namespace {
std::atomic<size_t> g_refused_size{0};
}  // namespace

// Fails the one allocation of this size, so that ZipLogs meets a file it cannot hold in memory.
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return size != 0 && size == g_refused_size ? nullptr : ::operator new(size, tag);
}

namespace zel::zip {
namespace {

using zeltest::J;
using zeltest::Json;
using zeltest::Narrow;
using zeltest::V;

size_t TemporaryArchives() {
  size_t count = 0;
  WIN32_FIND_DATAW found;
  UniqueFind find(::FindFirstFileW((TemporaryFolder() + L"Zuv*.tmp").c_str(), &found));
  for (bool more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &found)) ++count;
  return count;
}

// A folder of this test inside the module's data folder, removed at the end.
class ZipLogsTest : public ::testing::Test {
 protected:
  void SetUp() override {  // the folder comes with the first file written
    std::wstring data;
    ASSERT_TRUE(ModuleDataFolder(&data));
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
    const LONG rc = ZipLogs(input, *output);
    if (rc == 0) {
      const std::wstring path = VUtil::GetStringElement(*output, 0);
      EXPECT_EQ(path.substr(0, path.rfind(L'\\') + 1), TemporaryFolder());
      *archive = ziptest::ReadFileBytes(path);
      EXPECT_EQ(J(*output)[1], static_cast<long long>(archive->size())) << "the size as VT_I4";
      ScopedVariant ignored;
      EXPECT_EQ(DeleteTempFile(*V("[\"\", " + zelhost::DumpJson(Narrow(path)) + "]"), *ignored), 0)
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
  // Too large for the 32-bit size the step reads: left out, never archived as its low bytes.
  ziptest::SparseFile(folder_ + L"\\Logs\\huge.log", (int64_t{1} << 32) + 3);

  ziptest::Bytes archive;
  ASSERT_EQ(Zip(*V(zelhost::DumpJson(Narrow(name_))), &archive), 0);
  auto entries = ziptest::ReadAllEntries(archive);
  std::sort(entries.begin(), entries.end());
  // The empty file is left out; the suffix rule and the memory entries' attributes are the writer's.
  EXPECT_EQ(entries, (std::vector<std::pair<std::string, ziptest::Bytes>>{
                         {"Logs/ZovIdivariRuder.log", ziptest::ToBytes(log)}, {"Logs/old/archive.log.gz", ziptest::ToBytes(packed)},
                         {"Logs/old/note.txt", ziptest::ToBytes("n")}}));
  EXPECT_LT(archive.size(), log.size() / 5) << "the log was compressed";

  // The sub-folder named alone: the deepest folder holding all files is Logs itself.
  ASSERT_EQ(Zip(*V(zelhost::DumpJson(Narrow(name_ + L"\\Logs"))), &archive), 0);
  EXPECT_EQ(ziptest::ReadListing(archive).entries.size(), 3u);
  EXPECT_EQ(ziptest::ReadListing(archive).entries[0].name.substr(0, 5), "Logs/");
}

TEST_F(ZipLogsTest, OtherInputsMeanTheWholeDataFolderAndAFolderWithoutFilesTheEndRecordAlone) {
  Write(L"marker.txt", "whole data folder");
  const std::string marker = Narrow(name_) + "/marker.txt";
  for (const char* input : {"null", R"({"byref": "Logs"})", R"({"bstr": null})"}) {
    ziptest::Bytes archive;
    ASSERT_EQ(Zip(*V(input), &archive), 0) << input;
    const auto entries = ziptest::ReadAllEntries(archive);
    EXPECT_TRUE(std::any_of(entries.begin(), entries.end(), [&](const auto& entry) {
      return entry.first.size() > marker.size() && entry.first.substr(entry.first.size() - marker.size()) == marker &&
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

TEST_F(ZipLogsTest, RefusedFoldersAndFilesTooLargeForMemoryLeaveNoArchive) {
  Write(L"inside.txt", "x");
  const size_t before = TemporaryArchives();
  // One of each: a climb, a climb after a real folder, a drive or stream colon, a rooted path, a
  // climb in disguise (Windows drops trailing dots and blanks), a path too long to append.
  for (const std::wstring& sub : {std::wstring(L".."), name_ + L"\\..\\..", std::wstring(L"D:relative"),
                                  std::wstring(L"/Windows"), std::wstring(L".. \\x"), std::wstring(300, L'a')}) {
    ScopedVariant output;
    EXPECT_EQ(ZipLogs(*V(zelhost::DumpJson(Narrow(sub))), *output), 403) << Narrow(sub);
    EXPECT_EQ(output.Type(), VT_EMPTY);
  }
  EXPECT_EQ(TemporaryArchives(), before) << "no archive was started";
  ziptest::Bytes archive;
  EXPECT_EQ(Zip(*V(zelhost::DumpJson(Narrow(L".\\" + name_))), &archive), 0) << "staying inside is fine";
  EXPECT_EQ(ziptest::ReadListing(archive).entries.size(), 1u);

  // Our choice: a file too large for memory stops ZipLogs with 8 and its unfinished archive is deleted.
  Write(L"big.log", std::string(123457, 'b'));
  g_refused_size = 123457;
  ScopedVariant output;
  EXPECT_EQ(ZipLogs(*V(zelhost::DumpJson(Narrow(name_))), *output), 8);
  g_refused_size = 0;
  EXPECT_EQ(TemporaryArchives(), before) << "the unfinished archive was left behind";
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
