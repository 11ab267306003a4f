#include "zip/zip_jobs.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>

#include "common/answer.h"
#include "common/request_input.h"
#include "common/locker.h"
#include "common/module_log.h"
#include "common/module_thread.h"
#include "common/scoped_variant.h"
#include "common/text.h"
#include "common/vutil.h"
#include "zip/zip_entry_tree.h"
#include "zip/zip_paths.h"

namespace zel::zip {

// One CreateZip job. Shared by the worker, which runs it, the CreateZip call that started it while
// that call waits, and a Close that waits for it; the job map holds a plain pointer to it only
// while the job is registered, and the worker unregisters the job before letting go of it.
struct TCreateZipThreadData {
  std::wstring archive_path;
  CZipEntryTree tree;
  long long predicted = 0;
  std::unique_ptr<ZipSink> sink;  // the new archive file, until the worker writes into it
  UniqueKernelHandle done;        // set once the worker is through with the archive
  std::atomic<bool> failed{false};
};

namespace {

struct JobRegistry {
  std::map<std::wstring, std::shared_ptr<TCreateZipThreadData>> by_path;  // what DeleteTempFile can cancel
  std::set<std::shared_ptr<TCreateZipThreadData>> running;  // every worker not yet through, for Close
  bool closing = false;
};
using ZipJobMap = locker<JobRegistry>;

constexpr DWORD kCancelWaitMs = 5000;

// Process-wide: it must outlive every worker, and workers may outlive the module's Close.
ZipJobMap& JobMap() {
  static ZipJobMap map;
  return map;
}

void Register(const std::shared_ptr<TCreateZipThreadData>& job) {
  ZipJobMap& jobs = JobMap();
  auto guard = jobs.Lock();
  jobs.container.by_path[job->archive_path] = job;
  jobs.container.running.insert(job);
  if (jobs.container.closing) job->tree.RequestCancel();
}

// Removes the job's entry if it is still this job's: a cancelled job's path may already name a
// newer job's archive.
void Unregister(TCreateZipThreadData* job) {
  ZipJobMap& jobs = JobMap();
  auto guard = jobs.Lock();
  const auto found = jobs.container.by_path.find(job->archive_path);
  if (found != jobs.container.by_path.end() && found->second.get() == job) jobs.container.by_path.erase(found);
}

void Finish(const std::shared_ptr<TCreateZipThreadData>& job) {
  Unregister(job.get());
  ::SetEvent(job->done.Get());
  ZipJobMap& jobs = JobMap();
  auto guard = jobs.Lock();
  jobs.container.running.erase(job);
}

bool FileSize(const std::wstring& path, long long* size) {
  struct _stat64 status;
  if (_wstat64(path.c_str(), &status) != 0) return false;
  *size = status.st_size;
  return true;
}

void RunZipJob(const std::shared_ptr<TCreateZipThreadData>& job) {
  const DWORD start = ::GetTickCount();
  std::wstring why;
  ZipWriteOutcome outcome = job->tree.WriteArchive(std::move(job->sink), job->archive_path, true, &why);
  const DWORD elapsed = ::GetTickCount() - start;
  long long size = 0;
  if (!FileSize(job->archive_path, &size)) size = 0;
  if (outcome == ZipWriteOutcome::kFinished && size != job->predicted) {
    // A file changed between the check and its copy: the archive is not the one announced.
    ::DeleteFileW(job->archive_path.c_str());
    why = L"it came out at " + std::to_wstring(size) + L" bytes instead of the announced " +
          std::to_wstring(job->predicted) + L" (a file changed meanwhile)";
    outcome = ZipWriteOutcome::kFailed;
    size = 0;
  }
  ModuleLog().Info(L"Built %ls zip in %ds. Size=%I64db", job->archive_path.c_str(), static_cast<int>(elapsed / 1000),
                   size);
  if (outcome == ZipWriteOutcome::kFailed) {
    job->failed = true;
    ModuleLog().Error(L"CreateZip: %ls failed and was deleted: %ls", job->archive_path.c_str(), why.c_str());
  }
  Finish(job);
}

// Checks every file as the writer will open it, so that nothing announced is refused later.
// 0, or the code the request is refused with.
LONG CheckSources(const wchar_t* service, const CZipEntryTree& tree, long long* total) {
  *total = 0;
  for (const auto& node : tree.Files()) {
    UniqueFile file(::CreateFileW(node->path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    LONG refused = 0;
    const wchar_t* why = L"";
    if (!file) {
      const DWORD error = ::GetLastError();
      const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
      refused = missing ? 404 : 403;
      why = missing ? L"does not exist" : L"cannot be opened for reading (held by another process, or a folder)";
    } else if (!::GetFileSizeEx(file.Get(), &size)) {
      refused = 403;
      why = L"has no readable size";
    } else if (size.QuadPart > 0xFFFFFFFFLL) {
      refused = 8;
      why = L"has 4 GiB or more";
    } else {
      const size_t name_bytes = WideToUtf8(tree.ArchiveName(*node)).size();
      if (name_bytes == 0 || name_bytes > CZipWriter::kMaxNameBytes) {
        refused = 403;
        why = L"has no archive name of 1 to 259 bytes";
      }
    }
    if (refused != 0) {
      ModuleLog().Warn(L"%ls: %ls %ls", service, node->path.c_str(), why);
      return refused;
    }
    *total += size.QuadPart;
  }
  return 0;
}

// The files of a request as their archive will hold them; 0 or the refusal code.
LONG PlanArchive(const wchar_t* service, const std::vector<std::wstring>& paths, CZipEntryTree* tree,
                 long long* total, long long* predicted) {
  for (const std::wstring& path : paths) tree->AddFile(path);
  const LONG refused = CheckSources(service, *tree, total);
  if (refused != 0) return refused;
  *predicted = *total + tree->EstimateOverhead();
  if (*predicted > 0xFFFFFFFFLL) {
    ModuleLog().Warn(L"%ls: an archive of %I64d bytes is more than a zip without Zip64 holds", service, *predicted);
    return 8;
  }
  return 0;
}

// The common start of CreateZip and QueryFileSize: resolve the request's ids, and go on with the
// paths; a non-zero code of the resolution is the answer as it stands.
template <class Continue>
LONG ResolveThen(const ZipRequest& request, const MediumPathResolver& resolve, Continue next) {
  std::vector<std::wstring> paths;
  const LONG resolved = resolve(request.first, *request.ids, &paths);
  return resolved != 0 ? resolved : next(paths);
}

}  // namespace

ZipRequest DecodeZipRequest(const VARIANT& input) {
  const input::Elements elements(input);
  ZipRequest request;
  const LONG count = elements.Length();
  request.first = elements.String(0).Value();
  answer::ArrayBuilder ids(count - 1);
  for (LONG i = 1; i < count; ++i) {
    ScopedVariant id;
    if (FAILED(id.CopyFrom(elements.At(i)))) throw WideError::Input(input::kNoElement);
    ids.Set(i - 1, std::move(id));
  }
  request.ids = ids.Finish();
  return request;
}

LONG CreateZip(const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve) {
  return ResolveThen(request, resolve,
                     [&](const std::vector<std::wstring>& paths) { return CreateZipOfPaths(paths, output); });
}

LONG QueryFileSize(const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve) {
  return ResolveThen(request, resolve,
                     [&](const std::vector<std::wstring>& paths) { return QueryFileSizeOfPaths(paths, output); });
}

LONG CreateZipOfPaths(const std::vector<std::wstring>& paths, VARIANT& output, const ZipJobOptions& options) {
  {
    auto job = std::make_shared<TCreateZipThreadData>();
    long long total = 0;
    const LONG refused = PlanArchive(L"CreateZip", paths, &job->tree, &total, &job->predicted);
    if (refused != 0) return refused;
    ModuleLog().Info(L"Creating zip of %d files (%I64d -> %I64d)", static_cast<int>(paths.size()), total,
                     job->predicted);

    UniqueFile file;
    job->done.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->done || !CreateTemporaryArchive(&job->archive_path, &file)) {
      ModuleLog().Warn(L"CreateZip: no new archive file (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    job->sink = FileSinkOn(std::move(file));
    if (options.wrap_sink) job->sink = options.wrap_sink(std::move(job->sink));
    // Registered before the worker can end, so that the worker's own removal always comes after.
    Register(job);
    UniqueKernelHandle worker;
    auto abandon = [&] {  // no worker will run: nothing of the job may stay
      Unregister(job.get());
      job->sink.reset();
      ::DeleteFileW(job->archive_path.c_str());
      Finish(job);
    };
    try {
      worker = StartModuleThread([job] { RunZipJob(job); });
    } catch (...) {
      abandon();
      throw;
    }
    if (!worker) {
      abandon();
      ModuleLog().Warn(L"CreateZip: could not start the zip worker (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    if (options.worker != nullptr) {
      ::DuplicateHandle(::GetCurrentProcess(), worker.Get(), ::GetCurrentProcess(), options.worker->Receive(), 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
    }

    const DWORD waited = ::WaitForSingleObject(worker.Get(), options.wait_ms);
    long long size = job->predicted;
    if (waited != WAIT_TIMEOUT) {
      // The worker has removed its entry itself; this only makes sure no entry outlives the job.
      if (waited == WAIT_OBJECT_0) Unregister(job.get());
      if (job->failed || !FileSize(job->archive_path, &size)) return 2;
    }
    answer::List(answer::String(job->archive_path), answer::LongLong(size)).ReleaseInto(output);
    ModuleLog().Info(L"zip size %I64d.", size);
    return 0;
  }
}

LONG QueryFileSizeOfPaths(const std::vector<std::wstring>& paths, VARIANT& output) {
  {
    CZipEntryTree tree;
    long long total = 0;
    long long predicted = 0;
    const LONG refused = PlanArchive(L"QueryFileSize", paths, &tree, &total, &predicted);
    if (refused != 0) return refused;
    answer::List(answer::Long(static_cast<LONG>(paths.size())), answer::LongLong(total)).ReleaseInto(output);
    return 0;
  }
}

LONG DeleteOwnArchive(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  if (!IsArchiveFileName(slash == std::wstring::npos ? path : path.substr(slash + 1))) return 403;
  const std::wstring folder = TemporaryFolder();
  const std::wstring temporary = FinalFolderPath(folder);
  if (temporary.empty()) return 403;
  // Everything is decided on what the path opens, and the delete goes through that same handle.
  UniqueFile file(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {  // missing or in use; a path that does not even name the temporary folder is refused
    const bool named_inside = slash + 1 == folder.size() &&
                              ::CompareStringOrdinal(path.c_str(), static_cast<int>(slash), folder.c_str(),
                                                     static_cast<int>(slash), TRUE) == CSTR_EQUAL;
    return named_inside ? 404 : 403;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.Get(), &information)) return 403;
  const DWORD not_regular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  if ((information.dwFileAttributes & not_regular) != 0 || information.nNumberOfLinks != 1) return 403;
  const std::wstring final_path = FinalPathOf(file.Get());
  const size_t final_slash = final_path.rfind(L'\\');
  if (final_slash == std::wstring::npos || !IsArchiveFileName(final_path.substr(final_slash + 1)) ||
      !IsFinalPathInside(final_path, temporary) || final_slash != temporary.size()) {
    return 403;
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  return ::SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition, sizeof(disposition)) ? 0 : 404;
}

DeleteRequest DecodeDeleteRequest(const VARIANT& input) {
  const input::Elements elements(input);
  elements.At(0);  // not used, but it must be there
  return {elements.String(1).Value()};
}

LONG DeleteTempFile(const DeleteRequest& request) {
  {
    const std::wstring& path = request.path;
    if (!IsBoundedClientPath(path)) {
      ModuleLog().Warn(L"DeleteTempFile: refused a path of %u characters", static_cast<unsigned>(path.size()));
      return 403;
    }
    std::shared_ptr<TCreateZipThreadData> cancelled;
    {
      ZipJobMap& jobs = JobMap();
      auto guard = jobs.Lock();
      const auto found = jobs.container.by_path.find(path);
      if (found != jobs.container.by_path.end()) {
        cancelled = found->second;
        cancelled->tree.RequestCancel();
        jobs.container.by_path.erase(found);
      }
    }
    // A cancelled job stops within the piece it is copying and deletes its archive itself; once
    // it has, the archive is gone as asked.
    if (cancelled != nullptr && ::WaitForSingleObject(cancelled->done.Get(), kCancelWaitMs) == WAIT_OBJECT_0 &&
        ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
      return 0;
    }
    const LONG deleted = DeleteOwnArchive(path);
    if (deleted == 403) ModuleLog().Warn(L"DeleteTempFile: %ls is not an archive of ours", path.c_str());
    return deleted;
  }
}

size_t RegisteredZipJobs() {
  ZipJobMap& jobs = JobMap();
  auto guard = jobs.Lock();
  return jobs.container.by_path.size();
}

void StartZipJobs() {
  {
    ZipJobMap& jobs = JobMap();
    auto guard = jobs.Lock();
    jobs.container.closing = false;
  }
  const std::wstring folder = TemporaryFolder();
  if (folder.empty()) return;
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const ULONGLONG day = 24ULL * 3600 * 10000000;
  const ULONGLONG cutoff = ((static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime) - day;
  WIN32_FIND_DATAW found;
  UniqueFind find(::FindFirstFileW((folder + L"Zuv*.tmp").c_str(), &found));
  for (bool more = find.IsValid(); more; more = ::FindNextFileW(find.Get(), &found)) {
    const ULONGLONG written = (static_cast<ULONGLONG>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                              found.ftLastWriteTime.dwLowDateTime;
    if (written <= cutoff && IsArchiveFileName(found.cFileName) && DeleteOwnArchive(folder + found.cFileName) == 0) {
      ModuleLog().Info(L"Removed the stale archive %ls", found.cFileName);
    }
  }
}

void StopZipJobs(DWORD wait_ms) {
  std::vector<std::shared_ptr<TCreateZipThreadData>> running;
  {
    ZipJobMap& jobs = JobMap();
    auto guard = jobs.Lock();
    jobs.container.closing = true;
    jobs.container.by_path.clear();
    running.assign(jobs.container.running.begin(), jobs.container.running.end());
    for (const auto& job : running) job->tree.RequestCancel();
  }
  const DWORD start = ::GetTickCount();
  for (const auto& job : running) {
    const DWORD spent = ::GetTickCount() - start;
    if (::WaitForSingleObject(job->done.Get(), spent < wait_ms ? wait_ms - spent : 0) != WAIT_OBJECT_0) {
      ModuleLog().Error(L"Close: the zip job for %ls did not stop in time", job->archive_path.c_str());
    }
  }
}

}  // namespace zel::zip
