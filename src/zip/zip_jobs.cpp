#include "zip/zip_jobs.h"

#include <sys/stat.h>

#include <map>
#include <memory>

#include "common/handler_guard.h"
#include "common/locker.h"
#include "common/module_log.h"
#include "common/module_thread.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"
#include "zip/zip_answers.h"
#include "zip/zip_entry_tree.h"
#include "zip/zip_paths.h"

namespace zel::zip {

// One CreateZip job. Shared by the worker, which runs it, and the CreateZip call that started it
// while that call waits; the job map holds a plain pointer to it only while the job is registered,
// and the worker unregisters the job before letting go of it.
struct TCreateZipThreadData {
  std::wstring archive_path;
  CZipEntryTree tree;
};

namespace {

using answers::Bstr;
using answers::I4;
using answers::I8;
using answers::PutPair;
using ZipJobMap = locker<std::map<std::wstring, TCreateZipThreadData*>>;

// Process-wide: it must outlive every worker, and workers may outlive the module's Close.
ZipJobMap& JobMap() {
  static ZipJobMap map;
  return map;
}

void Register(TCreateZipThreadData* job) {
  ZipJobMap& jobs = JobMap();
  auto guard = jobs.Lock();
  jobs.container[job->archive_path] = job;
}

// Removes the job's entry if it is still this job's: a cancelled job's path may already name a
// newer job's archive.
void Unregister(TCreateZipThreadData* job) {
  ZipJobMap& jobs = JobMap();
  auto guard = jobs.Lock();
  const auto found = jobs.container.find(job->archive_path);
  if (found != jobs.container.end() && found->second == job) jobs.container.erase(found);
}

bool FileSize(const std::wstring& path, long long* size) {
  struct _stat64 status;
  if (_wstat64(path.c_str(), &status) != 0) return false;
  *size = status.st_size;
  return true;
}

void RunZipJob(const std::shared_ptr<TCreateZipThreadData>& job) {
  const DWORD start = ::GetTickCount();
  job->tree.WriteArchive(job->archive_path, true);
  const DWORD elapsed = ::GetTickCount() - start;
  long long size = 0;
  if (!FileSize(job->archive_path, &size)) size = 0;
  ModuleLog().Info(L"Built %ls zip in %ds. Size=%I64db", job->archive_path.c_str(), static_cast<int>(elapsed / 1000),
                   size);
  Unregister(job.get());
}

// Element 0 of a CreateZip or QueryFileSize request, and elements 1 to count-1 copied into a new
// array: the arguments of the id resolution.
struct ZipRequest {
  std::wstring first;
  ScopedVariant ids;
};

ZipRequest ReadZipRequest(const VARIANT& input) {
  ZipRequest request;
  const LONG count = VUtil::GetArrayLength(input);
  request.first = VUtil::GetStringElement(input, 0);
  VUtil::CreateArray(request.ids.Get(), VT_VARIANT, count - 1);
  for (LONG i = 1; i < count; ++i) {
    ScopedVariant element;
    VUtil::GetElement(input, i, element.Get());
    VUtil::PutElement(*request.ids, i - 1, *element);
  }
  return request;
}

// The common start of CreateZip and QueryFileSize: read the request, resolve its ids, and go on
// with the paths; a non-zero code of the resolution is the answer as it stands.
template <class Continue>
LONG ResolveThen(const wchar_t* warn_format, const VARIANT& input, const MediumPathResolver& resolve, Continue next) {
  return GuardHandler(warn_format, -1, [&]() -> LONG {
    const ZipRequest request = ReadZipRequest(input);
    std::vector<std::wstring> paths;
    const LONG resolved = resolve(request.first, *request.ids, &paths);
    return resolved != 0 ? resolved : next(paths);
  });
}

}  // namespace

LONG CreateZip(const VARIANT& input, VARIANT& output, const MediumPathResolver& resolve) {
  return ResolveThen(L"CreateZip: %s", input, resolve,
                     [&](const std::vector<std::wstring>& paths) { return CreateZipOfPaths(paths, output); });
}

LONG QueryFileSize(const VARIANT& input, VARIANT& output, const MediumPathResolver& resolve) {
  return ResolveThen(L"QueryFileSize: %s", input, resolve,
                     [&](const std::vector<std::wstring>& paths) { return QueryFileSizeOfPaths(paths, output); });
}

LONG CreateZipOfPaths(const std::vector<std::wstring>& paths, VARIANT& output, const ZipJobOptions& options) {
  return GuardHandler(L"CreateZip: %s", -1, [&]() -> LONG {
    auto job = std::make_shared<TCreateZipThreadData>();
    long long total = 0;
    for (const std::wstring& path : paths) {
      job->tree.AddFile(path);
      long long size = 0;
      if (FileSize(path, &size)) total += size;
    }
    const long long predicted = total + job->tree.EstimateOverhead();
    ModuleLog().Info(L"Creating zip of %d files (%I64d -> %I64d)", static_cast<int>(paths.size()), total, predicted);

    if (!MakeTemporaryArchiveName(&job->archive_path)) {
      ModuleLog().Warn(L"CreateZip: no temporary file name (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    // Registered before the worker can end, so that the worker's own removal always comes after.
    Register(job.get());
    UniqueKernelHandle worker;
    try {
      worker = StartModuleThread([job] { RunZipJob(job); });
    } catch (...) {
      Unregister(job.get());  // no worker will: the entry must not outlive `job`
      ::DeleteFileW(job->archive_path.c_str());
      throw;
    }
    if (!worker) {
      Unregister(job.get());
      ::DeleteFileW(job->archive_path.c_str());
      ModuleLog().Warn(L"CreateZip: could not start the zip worker (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    if (options.worker != nullptr) {
      ::DuplicateHandle(::GetCurrentProcess(), worker.Get(), ::GetCurrentProcess(), options.worker->Receive(), 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
    }

    const DWORD waited = ::WaitForSingleObject(worker.Get(), options.wait_ms);
    long long size = predicted;
    if (waited != WAIT_TIMEOUT) {
      // The worker has removed its entry itself; this only makes sure no entry outlives the job.
      if (waited == WAIT_OBJECT_0) Unregister(job.get());
      if (!FileSize(job->archive_path, &size)) return 2;
    }
    PutPair(output, Bstr(job->archive_path), I8(size));
    ModuleLog().Info(L"zip size %I64d.", size);
    return 0;
  });
}

LONG QueryFileSizeOfPaths(const std::vector<std::wstring>& paths, VARIANT& output) {
  return GuardHandler(L"QueryFileSize: %s", -1, [&]() -> LONG {
    long long total = 0;
    for (const std::wstring& path : paths) {
      long long size = 0;
      if (FileSize(path, &size)) total += size;
    }
    PutPair(output, I4(static_cast<LONG>(paths.size())), I8(total));
    return 0;
  });
}

LONG DeleteTempFile(const VARIANT& input, VARIANT&) {
  return GuardHandler(L"DeleteTempFile: %s", -1, [&]() -> LONG {
    ScopedVariant unused;
    VUtil::GetElement(input, 0, unused.Get());
    const std::wstring path = VUtil::GetStringElement(input, 1);
    {
      ZipJobMap& jobs = JobMap();
      auto guard = jobs.Lock();
      const auto found = jobs.container.find(path);
      if (found != jobs.container.end()) {
        found->second->tree.RequestCancel();
        jobs.container.erase(found);
      }
    }
    if (!IsInsideFolder(path, TemporaryFolder())) {
      ModuleLog().Warn(L"DeleteTempFile: %ls is not inside the temporary folder", path.c_str());
      return 403;
    }
    return ::DeleteFileW(path.c_str()) ? 0 : 404;
  });
}

size_t RegisteredZipJobs() {
  ZipJobMap& jobs = JobMap();
  auto guard = jobs.Lock();
  return jobs.container.size();
}

}  // namespace zel::zip
