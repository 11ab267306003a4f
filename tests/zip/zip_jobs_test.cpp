#include "zip/zip_jobs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browse/file_tools.h"
#include "common/module_log.h"
#include "common/text.h"
#include "common/vutil.h"
#include "support/test_support.h"
#include "zip/zip_paths.h"
#include "zip_test_support.h"

namespace zel::zip {
namespace {

using zeltest::J;
using zeltest::Json;
using zeltest::Narrow;
using zeltest::V;

std::wstring PathOf(const ScopedVariant& output) { return VUtil::GetStringElement(*output, 0); }

long long SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

LONG DeleteArchive(const std::wstring& path) {
  ScopedVariant output;
  return DeleteTempFile(*V("[\"\", " + zelhost::DumpJson(Narrow(path)) + "]"), *output);
}

class ZipJobsTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleLog().SetLevel(CTkLog::kDebug); }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }

  // Three files of 10, 20 and 30 bytes whose archive names have 5, 6 and 7 bytes: x\abc, x\abcd,
  // x\abcde.
  std::vector<std::wstring> ThreeFiles() {
    ::CreateDirectoryW((folder_.Path() + L"\\x").c_str(), nullptr);
    return {folder_.WriteFile(L"x\\abc", std::string(10, '1')), folder_.WriteFile(L"x\\abcd", std::string(20, '2')),
            folder_.WriteFile(L"x\\abcde", std::string(30, '3'))};
  }

  zeltest::TempFolder folder_;
};

TEST_F(ZipJobsTest, ThreeFilesOf60BytesMakeThe424ByteArchiveThatWasAnnounced) {
  const std::vector<std::wstring> paths = ThreeFiles();
  ScopedVariant query;
  ASSERT_EQ(QueryFileSizeOfPaths(paths, *query), 0);
  EXPECT_EQ(J(*query), Json::parse(R"([3, {"i8": 60}])"));

  ScopedVariant output;
  ASSERT_EQ(CreateZipOfPaths(paths, *output), 0);
  const std::wstring archive = PathOf(output);
  EXPECT_EQ(J(*output), Json::array({Narrow(archive), Json::parse(R"({"i8": 424})")}));
  EXPECT_EQ(SizeOf(archive), 424);
  EXPECT_TRUE(IsInsideFolder(archive, TemporaryFolder()));
  EXPECT_EQ(archive.substr(archive.rfind(L'\\') + 1, 3), L"Zuv") << "GetTempFileNameW keeps three letters";
  EXPECT_EQ(RegisteredZipJobs(), 0u) << "finished within the wait: nothing stays registered";
  for (const std::string& line : {std::string("Creating zip of 3 files (60 -> 424)"), std::string("zip size 424."),
                                  "Built " + Narrow(archive) + " zip in 0s. Size=424b"}) {
    EXPECT_FALSE(zeltest::ModuleLogLinesWith(line).empty()) << line;
  }
  const auto entries = ziptest::ReadAllEntries(ziptest::ReadFileBytes(archive));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(std::make_pair(entries[0].first, entries[2].second), std::make_pair(std::string("x/abc"), ziptest::ToBytes(std::string(30, '3'))));

  EXPECT_EQ(DeleteArchive(archive), 0);
  EXPECT_EQ(SizeOf(archive), -1);
  EXPECT_EQ(DeleteArchive(archive), 404);

  ScopedVariant empty;  // no files: the end record alone
  ASSERT_EQ(CreateZipOfPaths({}, *empty), 0);
  EXPECT_EQ(std::make_pair(J(*empty)[1]["i8"].get<long long>(), SizeOf(PathOf(empty))), std::make_pair(22LL, 22LL));
  EXPECT_EQ(DeleteArchive(PathOf(empty)), 0);
}

// A job still running after the wait answers the size its stored archive will have, and stays
// registered so that DeleteTempFile can cancel it.
TEST_F(ZipJobsTest, DeleteTempFileCancelsARunningJobBetweenTwoFiles) {
  // The cancel must land while files remain; on a machine busy enough to let the whole job run
  // before the test looks again, the next attempt makes the files larger.
  const long long name_bytes = Narrow(folder_.Path().substr(folder_.Path().rfind(L'\\') + 1)).size() + 11;  // "\\part00.bin"
  bool cancelled_midway = false;
  for (int attempt = 0; attempt < 3 && !cancelled_midway; ++attempt) {
    const LONGLONG file_size = LONGLONG{16 << 20} << attempt;
    ScopedVariant output;
    UniqueKernelHandle worker;
    std::vector<std::wstring> paths;  // part10.bin ... part33.bin, sparse
    for (int i = 0; i < 24; ++i) paths.push_back(ziptest::SparseFile(folder_.Path() + L"\\part" + std::to_wstring(10 + i) + L".bin", file_size));
    ASSERT_EQ(CreateZipOfPaths(paths, *output, ZipJobOptions{0, &worker}), 0);
    const std::wstring archive = PathOf(output);
    EXPECT_EQ(J(*output)[1]["i8"], 24 * (file_size + 102 + 2 * name_bytes) + 22);
    const DWORD start = ::GetTickCount();
    while (SizeOf(archive) < file_size && ::WaitForSingleObject(worker.Get(), 0) == WAIT_TIMEOUT &&
           ::GetTickCount() - start < 60000) {
      ::Sleep(1);
    }
    if (::WaitForSingleObject(worker.Get(), 0) != WAIT_TIMEOUT) {
      EXPECT_EQ(DeleteArchive(archive), 0);
      continue;
    }
    cancelled_midway = true;
    EXPECT_EQ(RegisteredZipJobs(), 1u);
    EXPECT_EQ(DeleteArchive(archive), 404) << "the worker still holds the file open";
    EXPECT_EQ(RegisteredZipJobs(), 0u);
    ASSERT_EQ(::WaitForSingleObject(worker.Get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(SizeOf(archive), -1) << "the cancelled worker deleted its archive";
    const std::vector<std::string> built = zeltest::ModuleLogLinesWith("Built " + Narrow(archive) + " zip in");
    ASSERT_FALSE(built.empty());
    EXPECT_NE(built.back().find("Size=0b"), std::string::npos) << built.back();
  }
  EXPECT_TRUE(cancelled_midway);
}

// A job registers before its worker can end, and CreateZip removes the entry when the wait
// succeeds, so however the wait and the worker's end interleave, no entry outlives its job.
TEST_F(ZipJobsTest, TheWaitAndTheWorkersEndRaceWithoutLeavingEntries) {
  const std::vector<std::wstring> paths = ThreeFiles();
  std::vector<UniqueKernelHandle> workers(60);
  std::vector<std::wstring> archives;
  for (size_t i = 0; i < workers.size(); ++i) {
    ScopedVariant output;
    ASSERT_EQ(CreateZipOfPaths(paths, *output, ZipJobOptions{static_cast<DWORD>(i % 4), &workers[i]}), 0);
    EXPECT_EQ(J(*output)[1], Json::parse(R"({"i8": 424})")) << "early or late, the same size";
    archives.push_back(PathOf(output));
  }
  for (UniqueKernelHandle& worker : workers) ASSERT_EQ(::WaitForSingleObject(worker.Get(), 60000), WAIT_OBJECT_0);
  EXPECT_EQ(RegisteredZipJobs(), 0u);
  for (const std::wstring& archive : archives) {
    EXPECT_EQ(SizeOf(archive), 424);
    EXPECT_EQ(DeleteArchive(archive), 0);
  }
}

TEST_F(ZipJobsTest, UnreadableFilesAreLeftOutAndTheArchiveStaysValid) {
  const std::wstring readable = folder_.WriteFile(L"readable.txt", "fine");
  const std::wstring locked = folder_.WriteFile(L"locked.txt", "held by someone");
  const std::wstring missing = folder_.Path() + L"\\missing.txt";
  UniqueFile holder(::CreateFileW(locked.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder.IsValid());
  ScopedVariant query;
  ASSERT_EQ(QueryFileSizeOfPaths({readable, locked, missing}, *query), 0);
  EXPECT_EQ(J(*query), Json::parse(R"([3, {"i8": 19}])")) << "a missing path is counted and adds nothing";

  ScopedVariant output;
  ASSERT_EQ(CreateZipOfPaths({readable, locked, missing}, *output), 0);
  const std::wstring archive = PathOf(output);
  const auto entries = ziptest::ReadAllEntries(ziptest::ReadFileBytes(archive));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, ziptest::ToBytes("fine"));
  EXPECT_EQ(J(*output)[1]["i8"], SizeOf(archive)) << "finished within the wait: the real size";
  EXPECT_EQ(DeleteArchive(archive), 0);
}

TEST_F(ZipJobsTest, DeleteTempFileDeletesOnlyInsideTheTemporaryFolder) {
  // Outside: a folder on the Linux side of Wine.
  const std::wstring outside_folder = L"Z:\\tmp\\" + zeltest::UniqueName(L"zeltest-outside");
  ASSERT_TRUE(::CreateDirectoryW(outside_folder.c_str(), nullptr));
  const std::wstring outside = outside_folder + L"\\keep.txt";
  ::CloseHandle(::CreateFileW(outside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  const std::wstring temp = TemporaryFolder();  // ends with "\"
  std::wstring climb = temp;  // contains the temp path as text, but leads out
  for (size_t i = 0; i < 10; ++i) climb += L"..\\";
  const std::wstring sibling = temp.substr(0, temp.size() - 1) + L"Other\\x.txt";  // shares the prefix
  for (const std::wstring& path : {outside, climb + outside.substr(3), temp, sibling, std::wstring()}) {
    EXPECT_EQ(DeleteArchive(path), 403) << Narrow(path);
  }
  EXPECT_EQ(SizeOf(outside), 0) << "nothing outside was deleted";
  ::DeleteFileW(outside.c_str());
  ::RemoveDirectoryW(outside_folder.c_str());

  const std::wstring inside = folder_.WriteFile(L"inside.txt", "x");
  std::wstring upper = inside;
  ::CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_EQ(DeleteArchive(upper), 0) << "the folder is compared as the file system compares names";
  EXPECT_EQ(DeleteArchive(inside), 404);

  ScopedVariant output;
  for (const char* bad : {"5", R"(["only"])", R"(["", 7])", R"({"array": ["", "x"], "lbound": 1})"}) {
    EXPECT_EQ(DeleteTempFile(*V(bad), *output), -1) << bad;
  }
  EXPECT_EQ(output.Type(), VT_EMPTY);
}

TEST_F(ZipJobsTest, TheServicesResolveMediumIdsThroughTheModuleAndRefuseUnusableInput) {
  const std::vector<std::wstring> files = ThreeFiles();
  // Satellite ids: the owner's list information names the paths.
  Json items = Json::array();
  for (const std::wstring& path : files) items.push_back(Json::array({Json::array({"Path", Narrow(path)})}));
  zeltest::RunningModule module(Json{{"DiRuzov", {{"GetFileListInfoFromId", {{"rc", 0}, {"answer", items}}}}}}.dump());
  const zeltest::RunningModule::Reply counted = module.Call(L"QueryFileSize", R"(["requester", "M1", "M2"])");
  EXPECT_EQ(Json::array({counted.rc, counted.output}), Json::parse(R"([0, [3, {"i8": 60}]])"));
  ASSERT_FALSE(module.Journal().empty());
  EXPECT_EQ(module.Journal().back()["params"], Json::parse(R"(["requester", ["M1", "M2"]])"));

  // Local ids are resolved in-process: the same three files make the same 424-byte archive.
  Json request = Json::array({"requester"});
  for (const std::wstring& path : files) request.push_back(Narrow(EncodeLocalMediumId(path)));
  const zeltest::RunningModule::Reply zipped = module.Call(L"CreateZip", request.dump());
  ASSERT_EQ(Json::array({zipped.rc, zipped.output[1]}), Json::parse(R"([0, {"i8": 424}])"));
  const std::wstring archive = Utf8ToWide(zipped.output[0].get<std::string>());
  EXPECT_EQ(SizeOf(archive), 424);
  EXPECT_EQ(DeleteArchive(archive), 0);
  // A failed resolution is the answer as it stands.
  for (const wchar_t* service : {L"CreateZip", L"QueryFileSize"}) {
    const zeltest::RunningModule::Reply unresolved = module.Call(service, R"(["requester", "Q1"])");
    EXPECT_EQ(Json::array({unresolved.rc, unresolved.output}), Json::parse("[404, null]"));
  }

  const MediumPathResolver never = [](const std::wstring&, const VARIANT&, std::vector<std::wstring>*) -> LONG {
    ADD_FAILURE() << "unusable input reached the resolver";
    return 0;
  };
  ScopedVariant untouched;
  for (const char* bad : {"5", "[]", R"([5, "M1"])", R"({"array": ["x", "M1"], "lbound": 1})",
                          R"({"array": ["x", "M1"], "of": "bstr"})", R"({"byref": ["x", "M1"]})"}) {
    EXPECT_EQ(CreateZip(*V(bad), *untouched, never), -1) << bad;
    EXPECT_EQ(QueryFileSize(*V(bad), *untouched, never), -1) << bad;
  }
  EXPECT_EQ(untouched.Type(), VT_EMPTY);
}

}  // namespace
}  // namespace zel::zip
