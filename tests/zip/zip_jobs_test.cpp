#include "zip/zip_jobs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "browse/file_tools.h"
#include "common/module_log.h"
#include "common/text.h"
#include "common/vutil.h"
#include "support/test_support.h"
#include "zip/zip_job_hooks.h"
#include "zip/zip_paths.h"
#include "zip/zip_writer.h"
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

LONG DeleteArchive(ZipJobs& jobs, const std::wstring& path) { return DeleteTempFile(jobs, {path}); }

// Hooks that keep each worker's handle, waiting `wait_ms` in CreateZip.
ZipJobHooks Keeping(std::vector<UniqueKernelHandle>* workers, DWORD wait_ms) {
  ZipJobHooks hooks;
  hooks.wait_ms = wait_ms;
  hooks.on_worker = [workers](UniqueKernelHandle worker) { workers->push_back(std::move(worker)); };
  return hooks;
}

class ZipJobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModuleLog().SetLevel(CTkLog::kDebug);
    ModuleLog().Info(L"zip_jobs_test starts");  // the log is open from here: lines can be counted
  }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }

  // Three files of 10, 20 and 30 bytes whose archive names have 5, 6 and 7 bytes: x\abc, x\abcd,
  // x\abcde.
  std::vector<std::wstring> ThreeFiles() {
    ::CreateDirectoryW((folder_.Path() + L"\\x").c_str(), nullptr);
    return {folder_.WriteFile(L"x\\abc", std::string(10, '1')), folder_.WriteFile(L"x\\abcd", std::string(20, '2')),
            folder_.WriteFile(L"x\\abcde", std::string(30, '3'))};
  }

  LONG Delete(const std::wstring& path) { return DeleteArchive(jobs_, path); }

  zeltest::TempFolder folder_;
  ZipJobs jobs_;
};

TEST_F(ZipJobsTest, ThreeFilesOf60BytesMakeThe424ByteArchiveThatWasAnnounced) {
  const std::vector<std::wstring> paths = ThreeFiles();
  ScopedVariant query;
  ASSERT_EQ(QueryFileSizeOfPaths(paths, *query), 0);
  EXPECT_EQ(J(*query), Json::parse(R"([3, {"i8": 60}])"));

  ScopedVariant output;
  ASSERT_EQ(jobs_.CreateZipOfPaths(paths, *output), 0);
  const std::wstring archive = PathOf(output);
  EXPECT_EQ(J(*output), Json::array({Narrow(archive), Json::parse(R"({"i8": 424})")}));
  EXPECT_EQ(SizeOf(archive), 424);
  EXPECT_EQ(archive.substr(0, archive.rfind(L'\\') + 1), TemporaryFolder());
  EXPECT_EQ(archive.substr(archive.rfind(L'\\') + 1, 3), L"Zuv") << "GetTempFileNameW keeps three letters";
  EXPECT_EQ(jobs_.Registered(), 0u) << "finished within the wait: nothing stays registered";
  for (const std::string& line : {std::string("Creating zip of 3 files (60 -> 424)"), std::string("zip size 424."),
                                  "Built " + Narrow(archive) + " zip in 0s. Size=424b"}) {
    EXPECT_FALSE(zeltest::ModuleLogLinesWith(line).empty()) << line;
  }
  const auto entries = ziptest::ReadAllEntries(ziptest::ReadFileBytes(archive));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(std::make_pair(entries[0].first, entries[2].second), std::make_pair(std::string("x/abc"), ziptest::ToBytes(std::string(30, '3'))));

  EXPECT_EQ(Delete(archive), 0);
  EXPECT_EQ(SizeOf(archive), -1);
  EXPECT_EQ(Delete(archive), 404);

  ScopedVariant empty;  // no files: the end record alone
  ASSERT_EQ(jobs_.CreateZipOfPaths({}, *empty), 0);
  EXPECT_EQ(std::make_pair(J(*empty)[1]["i8"].get<long long>(), SizeOf(PathOf(empty))), std::make_pair(22LL, 22LL));
  EXPECT_EQ(Delete(PathOf(empty)), 0);
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
    std::vector<UniqueKernelHandle> workers;
    ZipJobs jobs(Keeping(&workers, 0));
    std::vector<std::wstring> paths;  // part10.bin ... part33.bin, sparse
    for (int i = 0; i < 24; ++i) paths.push_back(ziptest::SparseFile(folder_.Path() + L"\\part" + std::to_wstring(10 + i) + L".bin", file_size));
    ASSERT_EQ(jobs.CreateZipOfPaths(paths, *output), 0);
    ASSERT_EQ(workers.size(), 1u);
    const HANDLE worker = workers[0].Get();
    const std::wstring archive = PathOf(output);
    EXPECT_EQ(J(*output)[1]["i8"], 24 * (file_size + 102 + 2 * name_bytes) + 22);
    const DWORD start = ::GetTickCount();
    while (SizeOf(archive) < file_size && ::WaitForSingleObject(worker, 0) == WAIT_TIMEOUT &&
           ::GetTickCount() - start < 60000) {
      ::Sleep(1);
    }
    if (::WaitForSingleObject(worker, 0) != WAIT_TIMEOUT) {
      EXPECT_EQ(DeleteArchive(jobs, archive), 0);
      continue;
    }
    cancelled_midway = true;
    EXPECT_EQ(jobs.Registered(), 1u);
    EXPECT_EQ(DeleteArchive(jobs, archive), 0) << "the worker stops within its entry and deletes the archive";
    EXPECT_EQ(SizeOf(archive), -1) << "gone when DeleteTempFile answers";
    EXPECT_EQ(jobs.Registered(), 0u);
    ASSERT_EQ(::WaitForSingleObject(worker, 60000), WAIT_OBJECT_0);
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
  for (DWORD wait_ms = 0; wait_ms < 4; ++wait_ms) {
    std::vector<UniqueKernelHandle> workers;
    ZipJobs jobs(Keeping(&workers, wait_ms));
    std::vector<std::wstring> archives;
    for (int i = 0; i < 15; ++i) {
      ScopedVariant output;
      ASSERT_EQ(jobs.CreateZipOfPaths(paths, *output), 0);
      EXPECT_EQ(J(*output)[1], Json::parse(R"({"i8": 424})")) << "early or late, the same size";
      archives.push_back(PathOf(output));
    }
    for (UniqueKernelHandle& worker : workers) ASSERT_EQ(::WaitForSingleObject(worker.Get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(jobs.Registered(), 0u);
    for (const std::wstring& archive : archives) {
      EXPECT_EQ(SizeOf(archive), 424);
      EXPECT_EQ(DeleteArchive(jobs, archive), 0);
    }
  }
}

// A selection is planned from what can be read: what cannot is left out with a WARN line naming it,
// and only a selection of which nothing can be archived is refused (404 when nothing exists, 403
// otherwise); no paths at all make the 22-byte archive.
TEST_F(ZipJobsTest, WhatCannotBeReadIsLeftOutAndOnlyANothingToArchiveIsRefused) {
  const std::wstring fine = folder_.WriteFile(L"fine.txt", "fine");
  const std::wstring writing = folder_.WriteFile(L"writing.txt", "held for writing");
  const std::wstring exclusive = folder_.WriteFile(L"exclusive.txt", "held exclusively");
  const std::wstring missing = folder_.Path() + L"\\missing.txt";
  const std::wstring long_folder = folder_.Path() + L"\\" + std::wstring(100, L'd');
  const std::wstring long_name = long_folder + L"\\" + std::wstring(100, L'\u00e9');  // its archive name: 301 bytes
  const std::wstring empty_folder = folder_.Path() + L"\\empty";
  ::CreateDirectoryW(empty_folder.c_str(), nullptr);
  ::CreateDirectoryW(long_folder.c_str(), nullptr);
  UniqueFile(::CreateFileW(long_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  UniqueFile writer(::CreateFileW(writing.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  UniqueFile holder(::CreateFileW(exclusive.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer.IsValid() && holder.IsValid());
  const struct {
    std::vector<std::wstring> paths;
    LONG code;
    std::vector<std::string> archived;  // entry names
    std::vector<std::wstring> left_out;
  } cases[] = {
      {{fine, missing, writing, exclusive, long_name}, 0, {"fine.txt", "writing.txt"}, {missing, exclusive, long_name}},
      {{missing, missing}, 404, {}, {missing, missing}},
      {{exclusive, missing}, 403, {}, {exclusive, missing}},
      {{long_name}, 403, {}, {long_name}},
      {{empty_folder}, 0, {}, {}},
      {{}, 0, {}, {}},
  };
  const size_t archives = ziptest::TemporaryArchives();
  for (const auto& c : cases) {
    const size_t warnings = zeltest::ModuleLogLinesWith("CreateZip: left out ").size();
    ScopedVariant output;
    ASSERT_EQ(jobs_.CreateZipOfPaths(c.paths, *output), c.code) << c.paths.size();
    EXPECT_EQ(zeltest::ModuleLogLinesWith("CreateZip: left out ").size(), warnings + c.left_out.size());
    for (const std::wstring& path : c.left_out) EXPECT_FALSE(zeltest::ModuleLogLinesWith("left out " + Narrow(path) + ": ").empty());
    if (c.code != 0) {
      EXPECT_EQ(output.Type(), VT_EMPTY);
      continue;
    }
    // The answer names what was left out after the path and the size, and only when something was.
    const Json answer = J(*output);
    Json named = Json::array();
    for (const std::wstring& path : c.left_out) named.push_back(Narrow(path));
    Json answered = Json::array();
    for (const Json& pair : answer.size() == 3 ? answer[2] : Json::array()) answered.push_back(pair.at(0));
    EXPECT_EQ(answer.size(), c.left_out.empty() ? 2u : 3u) << answer;
    EXPECT_EQ(answered, named) << answer;
    const ziptest::Bytes archive = ziptest::ReadFileBytes(PathOf(output));
    EXPECT_EQ(answer[1]["i8"].get<long long>(), static_cast<long long>(archive.size())) << "announced exactly";
    std::vector<std::string> names;
    for (const auto& entry : ziptest::ReadAllEntries(archive)) names.push_back(entry.first.substr(entry.first.find('/') + 1));
    EXPECT_EQ(names, c.archived);
    EXPECT_EQ(Delete(PathOf(output)), 0);
  }
  EXPECT_EQ(ziptest::TemporaryArchives(), archives);

  // QueryFileSize counts every path, adding 0 for one it cannot examine; a folder counts its files.
  ScopedVariant query;
  ASSERT_EQ(QueryFileSizeOfPaths({fine, missing, exclusive, folder_.Path()}, *query), 0);
  const long long in_folder = 4 + 16 + 16 + 0;  // fine, writing, exclusive, the long name; the empty folder has none
  EXPECT_EQ(J(*query), Json::array({3 + 4, Json{{"i8", 4 + 0 + 16 + in_folder}}}));
}

// One folder (three levels, a link in it pointing back up, a link leading out) and two files, one
// missing: the folder's files under its own name, once each, and the existing file.
TEST_F(ZipJobsTest, AFolderAddsEveryFileUnderItOnceUnderItsOwnName) {
  const std::wstring season = folder_.Path() + L"\\Season 1";
  ::CreateDirectoryW(season.c_str(), nullptr);
  ::CreateDirectoryW((season + L"\\extras").c_str(), nullptr);
  ::CreateDirectoryW((season + L"\\extras\\deleted").c_str(), nullptr);
  folder_.WriteFile(L"Season 1\\e01.mkv", std::string(1000, '1'));
  folder_.WriteFile(L"Season 1\\extras\\making-of.mkv", std::string(500, '2'));
  folder_.WriteFile(L"Season 1\\extras\\deleted\\scene.mkv", std::string(300, '3'));
  const std::wstring outside = folder_.Path() + L"\\outside";
  ::CreateDirectoryW(outside.c_str(), nullptr);
  folder_.WriteFile(L"outside\\secret.txt", "not chosen");
  ASSERT_TRUE(ziptest::MakeLink(season, season + L"\\extras\\deleted\\up", true));
  ASSERT_TRUE(ziptest::MakeLink(outside, season + L"\\elsewhere", true));
  const std::wstring poster = folder_.WriteFile(L"poster.jpg", "jpeg");

  ScopedVariant output;
  ASSERT_EQ(jobs_.CreateZipOfPaths({season, poster, folder_.Path() + L"\\gone.mkv"}, *output), 0);
  const ziptest::Bytes archive = ziptest::ReadFileBytes(PathOf(output));
  EXPECT_EQ(J(*output)[1]["i8"].get<long long>(), static_cast<long long>(archive.size()));
  std::vector<std::string> names;
  for (const auto& entry : ziptest::ReadAllEntries(archive)) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  const std::string top = Narrow(folder_.Path().substr(folder_.Path().rfind(L'\\') + 1));
  EXPECT_EQ(names, (std::vector<std::string>{top + "/Season 1/e01.mkv", top + "/Season 1/extras/deleted/scene.mkv",
                                             top + "/Season 1/extras/making-of.mkv", top + "/poster.jpg"}));
  EXPECT_FALSE(zeltest::ModuleLogLinesWith("left out " + Narrow(folder_.Path()) + "\\gone.mkv: ").empty());
  EXPECT_FALSE(zeltest::ModuleLogLinesWith("left out " + Narrow(season) + "\\elsewhere: ").empty());
  EXPECT_EQ(Delete(PathOf(output)), 0);

  ScopedVariant alone;  // the folder by itself: named from its own name down
  ASSERT_EQ(jobs_.CreateZipOfPaths({season + L"\\extras\\"}, *alone), 0);
  names.clear();
  for (const auto& entry : ziptest::ReadAllEntries(ziptest::ReadFileBytes(PathOf(alone)))) names.push_back(entry.first);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"extras/deleted/scene.mkv", "extras/making-of.mkv"}));
  EXPECT_EQ(Delete(PathOf(alone)), 0);
  ziptest::RemoveLink(season + L"\\extras\\deleted\\up");
  ziptest::RemoveLink(season + L"\\elsewhere");
}

// A sink that takes `room` bytes and then refuses, as a full disk does.
class FillingSink final : public ZipSink {
 public:
  FillingSink(std::unique_ptr<ZipSink> file, size_t room) : file_(std::move(file)), room_(room) {}
  bool Write(const void* data, size_t size) override {
    if (size > room_) return false;
    room_ -= size;
    return file_->Write(data, size);
  }
  bool Seek(uint64_t offset) override { return file_->Seek(offset); }
  bool Truncate() override { return file_->Truncate(); }

 private:
  std::unique_ptr<ZipSink> file_;
  size_t room_;
};

// A job that cannot finish its archive deletes it and says so: within CreateZip's wait the answer
// is 2; after it, the announced archive never appears. No half-written file stays either way.
TEST_F(ZipJobsTest, AJobWhoseDiskFillsUpDeletesItsArchiveAndWritesAnError) {
  const std::vector<std::wstring> paths = ThreeFiles();
  const size_t archives = ziptest::TemporaryArchives();
  const size_t errors = zeltest::ModuleLogLinesWith("failed and was deleted").size();
  for (const DWORD wait_ms : {5000u, 0u}) {
    ScopedVariant output;
    std::vector<UniqueKernelHandle> workers;
    ZipJobHooks hooks = Keeping(&workers, wait_ms);
    hooks.wrap_sink = [](std::unique_ptr<ZipSink> file) {
      return std::unique_ptr<ZipSink>(new FillingSink(std::move(file), 150));
    };
    ZipJobs jobs(hooks);
    const LONG rc = jobs.CreateZipOfPaths(paths, *output);
    ASSERT_EQ(workers.size(), 1u);
    ASSERT_EQ(::WaitForSingleObject(workers[0].Get(), 60000), WAIT_OBJECT_0);
    if (wait_ms != 0) {
      EXPECT_EQ(std::make_pair(rc, output.Type()), std::make_pair(LONG{2}, VARTYPE{VT_EMPTY}));
    } else {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(J(*output)[1], Json::parse(R"({"i8": 424})"));
      EXPECT_EQ(SizeOf(PathOf(output)), -1);
    }
    EXPECT_EQ(ziptest::TemporaryArchives(), archives) << wait_ms;
    EXPECT_EQ(zeltest::ModuleLogLinesWith("failed and was deleted").size(), errors + (wait_ms != 0 ? 1 : 2));
  }
}

// Runs `change` on the first write into the archive: after planning, before any source is read.
class ChangingSink final : public ZipSink {
 public:
  ChangingSink(std::unique_ptr<ZipSink> file, std::function<void()> change) : file_(std::move(file)), change_(std::move(change)) {}
  bool Write(const void* data, size_t size) override {
    if (change_) std::exchange(change_, nullptr)();
    return file_->Write(data, size);
  }
  bool Seek(uint64_t offset) override { return file_->Seek(offset); }
  bool Truncate() override { return file_->Truncate(); }

 private:
  std::unique_ptr<ZipSink> file_;
  std::function<void()> change_;
};

// A file that grows while the job runs (a recording) is archived at its planned length, so the
// announced size holds; one that shrinks, or is replaced by another file after planning, fails
// the job: its archive is deleted and an ERROR line names the file.
TEST_F(ZipJobsTest, AGrowingFileIsTakenAsPlannedAShrinkingOrReplacedOneFailsTheJob) {
  const std::wstring first = folder_.WriteFile(L"first.ts", "planned");
  const std::wstring second = folder_.WriteFile(L"second.ts", "second file");
  const auto append = [&] {
    UniqueFile file(::CreateFileW(second.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && ::WriteFile(file.Get(), " and more", 9, &written, nullptr));
  };
  const auto shrink = [&] {
    UniqueFile file(::CreateFileW(second.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file && ::SetEndOfFile(file.Get()));  // at 0
  };
  const auto replace = [&] {  // the same size, another file (made before the old one goes): only its identity tells
    const std::wstring other = folder_.WriteFile(L"other.ts", "other words");
    ASSERT_TRUE(::MoveFileExW(other.c_str(), second.c_str(), MOVEFILE_REPLACE_EXISTING));
  };
  const struct {
    std::function<void()> change;
    size_t max_held;
    bool done;
  } cases[] = {{append, kMaxHeldFiles, true}, {shrink, kMaxHeldFiles, false}, {replace, 1, false}};
  for (const auto& c : cases) {
    folder_.WriteFile(L"second.ts", "second file");
    std::vector<UniqueKernelHandle> workers;
    ZipJobHooks hooks = Keeping(&workers, 0);
    hooks.max_held_files = c.max_held;
    hooks.wrap_sink = [&c](std::unique_ptr<ZipSink> file) { return std::unique_ptr<ZipSink>(new ChangingSink(std::move(file), c.change)); };
    ZipJobs jobs(hooks);
    const size_t errors = zeltest::ModuleLogLinesWith("failed and was deleted: " + Narrow(second) + ": ").size();
    ScopedVariant output;
    ASSERT_EQ(jobs.CreateZipOfPaths({first, second}, *output), 0);
    ASSERT_EQ(::WaitForSingleObject(workers.at(0).Get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(zeltest::ModuleLogLinesWith("failed and was deleted: " + Narrow(second) + ": ").size(), errors + (c.done ? 0 : 1));
    if (!c.done) {
      EXPECT_EQ(SizeOf(PathOf(output)), -1);
      continue;
    }
    const ziptest::Bytes archive = ziptest::ReadFileBytes(PathOf(output));
    EXPECT_EQ(J(*output)[1]["i8"].get<long long>(), static_cast<long long>(archive.size()));
    const auto entries = ziptest::ReadAllEntries(archive);  // checks each entry's CRC
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].second, ziptest::ToBytes("second file")) << "the length it had when planned";
    EXPECT_EQ(DeleteArchive(jobs, PathOf(output)), 0);
  }
}

// Close cancels running jobs, which delete their partial archives; the next start removes archives
// of ours a day old, and nothing else.
TEST_F(ZipJobsTest, StoppingCancelsRunningJobsAndStartingRemovesDayOldArchives) {
  std::vector<std::wstring> paths;
  for (int i = 0; i < 8; ++i) paths.push_back(ziptest::SparseFile(folder_.Path() + L"\\big" + std::to_wstring(i), 256 << 20));
  ScopedVariant output;
  std::vector<UniqueKernelHandle> workers;
  ZipJobs jobs(Keeping(&workers, 0));
  ASSERT_EQ(jobs.CreateZipOfPaths(paths, *output), 0);
  const DWORD start = ::GetTickCount();
  jobs.Stop(10000);
  EXPECT_LT(::GetTickCount() - start, 10000u);
  EXPECT_EQ(::WaitForSingleObject(workers[0].Get(), 5000), WAIT_OBJECT_0) << "the worker ends";
  EXPECT_EQ(SizeOf(PathOf(output)), -1) << "its partial archive was deleted";
  ScopedVariant late;  // after Close, jobs are cancelled at once: no archive stays
  const LONG late_rc = jobs.CreateZipOfPaths(ThreeFiles(), *late);
  ASSERT_TRUE(late_rc == 0 || late_rc == 2) << late_rc;
  ASSERT_EQ(::WaitForSingleObject(workers.back().Get(), 5000), WAIT_OBJECT_0);
  if (late_rc == 0) {
    EXPECT_EQ(SizeOf(PathOf(late)), -1);
  }

  const std::wstring temp = TemporaryFolder();
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER old{{now.dwLowDateTime, now.dwHighDateTime}};
  old.QuadPart -= 25ULL * 3600 * 10000000;
  const FILETIME old_time{old.LowPart, old.HighPart};
  const struct {
    std::wstring name;
    bool old;
    bool removed;
  } stale[] = {{L"ZuvE1a.tmp", true, true}, {L"ZuvE1b.tmp", false, false}, {L"ZuvE1c.txt", true, false},
               {L"ZuvE1x.tmp", true, false}};
  for (const auto& file : stale) {
    UniqueFile made(::CreateFileW((temp + file.name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (file.old) ::SetFileTime(made.Get(), nullptr, nullptr, &old_time);
  }
  jobs.Start();
  for (const auto& file : stale) {
    EXPECT_EQ(SizeOf(temp + file.name), file.removed ? -1 : 0) << Narrow(file.name);
    ::DeleteFileW((temp + file.name).c_str());
  }
  ScopedVariant again;
  EXPECT_EQ(jobs.CreateZipOfPaths(ThreeFiles(), *again), 0) << "started again";
  EXPECT_EQ(DeleteArchive(jobs, PathOf(again)), 0);
}

// Only regular files directly inside the temporary folder with an archive's name are deleted,
// judged by what the path opens: links, folders, other names and overlong paths answer 403.
TEST_F(ZipJobsTest, DeleteTempFileDeletesOnlyOurArchivesDirectlyInsideTheTemporaryFolder) {
  const std::wstring temp = TemporaryFolder();  // ends with "\"
  const std::wstring outside_folder = L"Z:\\tmp\\" + zeltest::UniqueName(L"zeltest-outside");
  ASSERT_TRUE(::CreateDirectoryW(outside_folder.c_str(), nullptr));
  const std::wstring victim = outside_folder + L"\\Zuv1.tmp";
  UniqueFile(::CreateFileW(victim.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  const std::wstring linked_folder = temp + zeltest::UniqueName(L"zeltest-link");
  const std::wstring linked_file = temp + L"ZuvFE1.tmp";
  ASSERT_TRUE(ziptest::MakeLink(outside_folder, linked_folder, true));
  ASSERT_TRUE(ziptest::MakeLink(victim, linked_file, false));
  const std::wstring own_folder = temp + L"ZuvFE2.tmp";
  ::CreateDirectoryW(own_folder.c_str(), nullptr);
  const std::wstring nested = folder_.WriteFile(L"ZuvFE3.tmp", "not directly inside");
  const std::wstring other_name = temp + zeltest::UniqueName(L"other") + L".tmp";
  UniqueFile(::CreateFileW(other_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  std::wstring climb = temp;  // begins with the temp path, but leads out
  for (size_t i = 0; i < 10; ++i) climb += L"..\\";
  for (const std::wstring& path :
       {victim, climb + victim.substr(3), linked_folder + L"\\Zuv1.tmp", linked_file, own_folder, nested, other_name, temp,
        std::wstring(), temp + std::wstring(1030, L'a'), temp + std::wstring(5000, L'\\') + L"Zuv1.tmp",
        temp + L"Zuv1.tmp" + std::wstring(1, L'\0') + L"x"}) {
    EXPECT_EQ(Delete(path), 403) << Narrow(path.substr(0, 300));
  }
  EXPECT_EQ(SizeOf(victim), 0) << "nothing outside was deleted";
  EXPECT_NE(SizeOf(nested), -1);
  for (const std::wstring& link : {linked_file, linked_folder}) ziptest::RemoveLink(link);
  ::DeleteFileW(other_name.c_str());
  ::RemoveDirectoryW(own_folder.c_str());
  ::DeleteFileW(victim.c_str());
  ::RemoveDirectoryW(outside_folder.c_str());

  ScopedVariant zipped;
  ASSERT_EQ(jobs_.CreateZipOfPaths({}, *zipped), 0);
  std::wstring upper = PathOf(zipped);
  ::CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
  EXPECT_EQ(Delete(upper), 0) << "names compare as the file system compares them";
  EXPECT_EQ(Delete(PathOf(zipped)), 404);

  ScopedVariant output;
  for (const char* bad : {"5", R"(["only"])", R"(["", 7])", R"({"array": ["", "x"], "lbound": 1})"}) {
    EXPECT_EQ(zeltest::Dispatch(L"DeleteTempFile", *V(bad), *output), -1) << bad;
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
  for (const std::wstring& path : files) request.push_back(Narrow(browse::EncodeLocalMediumId(path)));
  const zeltest::RunningModule::Reply zipped = module.Call(L"CreateZip", request.dump());
  ASSERT_EQ(Json::array({zipped.rc, zipped.output[1]}), Json::parse(R"([0, {"i8": 424}])"));
  const std::wstring archive = Utf8ToWide(zipped.output[0].get<std::string>());
  EXPECT_EQ(SizeOf(archive), 424);
  EXPECT_EQ(Delete(archive), 0);
  // A failed resolution is the answer as it stands.
  for (const wchar_t* service : {L"CreateZip", L"QueryFileSize"}) {
    const zeltest::RunningModule::Reply unresolved = module.Call(service, R"(["requester", "Q1"])");
    EXPECT_EQ(Json::array({unresolved.rc, unresolved.output}), Json::parse("[404, null]"));
  }

  ScopedVariant untouched;
  for (const char* bad : {"5", "[]", R"([5, "M1"])", R"({"array": ["x", "M1"], "lbound": 1})",
                          R"({"array": ["x", "M1"], "of": "bstr"})", R"({"byref": ["x", "M1"]})"}) {
    EXPECT_EQ(zeltest::Dispatch(L"CreateZip", *V(bad), *untouched), -1) << bad;
    EXPECT_EQ(zeltest::Dispatch(L"QueryFileSize", *V(bad), *untouched), -1) << bad;
  }
  EXPECT_EQ(untouched.Type(), VT_EMPTY);
}

}  // namespace
}  // namespace zel::zip
