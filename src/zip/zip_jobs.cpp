#include "zip/zip_jobs.h"

#include <sys/stat.h>

#include <atomic>
#include <map>
#include <set>

#include "common/answer.h"
#include "common/locker.h"
#include "common/module_log.h"
#include "common/module_thread.h"
#include "zip/zip_job_hooks.h"
#include "zip/zip_paths.h"
#include "zip/zip_plan.h"
#include "zip/zip_writer.h"

namespace zel::zip {
namespace {

enum class JobState { kPlanned, kWriting, kDone, kFailed, kCancelled };

bool IsOver(JobState state) { return state == JobState::kDone || state == JobState::kFailed || state == JobState::kCancelled; }

constexpr DWORD kCancelWaitMs = 5000;

bool FileSize(const std::wstring& path, long long* size) {
  struct _stat64 status;
  if (_wstat64(path.c_str(), &status) != 0) return false;
  *size = status.st_size;
  return true;
}

// [[path, why], ...]: what a client shows of the sources it asked for that are not in the archive.
ScopedVariant LeftOutAnswer(const std::vector<LeftOutSource>& left_out) {
  answer::ArrayBuilder list(static_cast<LONG>(left_out.size()));
  for (size_t i = 0; i < left_out.size(); ++i) {
    list.Set(static_cast<LONG>(i), answer::List(answer::String(left_out[i].path), answer::String(left_out[i].why)));
  }
  return list.Finish();
}

}  // namespace

// One CreateZip job. Shared by its worker, the CreateZip call that started it while that call
// waits, and a Stop that waits for it; the registry holds it while it is not over.
struct ZipJobs::Job {
  std::wstring archive_path;
  ZipPlan plan;
  std::unique_ptr<ZipSink> sink;  // the new archive file, until the worker writes into it
  std::atomic<bool> cancel{false};
  UniqueKernelHandle over;  // set once the job is over and has let go of the archive
  JobState state = JobState::kPlanned;  // under the registry's lock
};

// The job map and the lock that guards it, shared with every worker so that a worker that
// outlives the module's Close still finds it.
struct ZipJobs::Registry {
  struct Jobs {
    std::map<std::wstring, std::shared_ptr<Job>> by_path;  // what DeleteTempFile can cancel
    std::set<std::shared_ptr<Job>> running;                // every job not over, for Stop
    bool closing = false;
  };

  explicit Registry(const ZipJobHooks& job_hooks) : hooks(job_hooks) {}

  void Register(const std::shared_ptr<Job>& job) {
    auto guard = jobs.Lock();
    jobs.container.by_path[job->archive_path] = job;
    jobs.container.running.insert(job);
    if (jobs.container.closing) job->cancel = true;
  }

  // The one place a job's state changes. A job that is over leaves the registry (its path entry
  // only if the entry is still this job's: a cancelled job's path may name a newer job's archive
  // by now) and lets its waiters go.
  void Move(const std::shared_ptr<Job>& job, JobState to) {
    auto guard = jobs.Lock();
    job->state = to;
    if (!IsOver(to)) return;
    const auto found = jobs.container.by_path.find(job->archive_path);
    if (found != jobs.container.by_path.end() && found->second == job) jobs.container.by_path.erase(found);
    jobs.container.running.erase(job);
    ::SetEvent(job->over.Get());
  }

  JobState StateOf(const Job& job) {
    auto guard = jobs.Lock();
    return job.state;
  }

  // Asks the job writing `path` to stop; it can no longer be found by its path.
  std::shared_ptr<Job> Cancel(const std::wstring& path) {
    auto guard = jobs.Lock();
    const auto found = jobs.container.by_path.find(path);
    if (found == jobs.container.by_path.end()) return nullptr;
    std::shared_ptr<Job> job = found->second;
    job->cancel = true;
    jobs.container.by_path.erase(found);
    return job;
  }

  const ZipJobHooks hooks;
  locker<Jobs> jobs;
};

// The worker: writes the archive, checks it came out as announced, logs, and moves the job to its
// last state. An archive that is not done is deleted.
void ZipJobs::Run(Registry& registry, const std::shared_ptr<Job>& job) {
  registry.Move(job, JobState::kWriting);
  const DWORD start = ::GetTickCount();
  std::wstring why;
  std::unique_ptr<CZipWriter> writer = CZipWriter::CreateArchive(std::move(job->sink));
  JobState outcome = JobState::kDone;
  if (writer == nullptr) {
    outcome = JobState::kFailed;
    why = L"no writer";
  } else {
    writer->SetCancelFlag(&job->cancel);
    FileIdentities identities;
    for (const PlannedFile& file : job->plan.files) {
      if (job->cancel) break;
      UniqueFile reopened;
      const HANDLE source = OpenPlannedFile(file, identities, &reopened, &why);
      const ZipResult result =
          source == nullptr ? ZipCannotOpen : writer->AddEntry(file.name, ZipSource::OpenFile(source, file.size), true);
      if (result != ZipOk) {
        if (why.empty()) why = ZipResultText(result);
        why = file.path + L": " + why;
        outcome = JobState::kFailed;
        break;
      }
    }
    if (writer->CloseArchive() != ZipOk && outcome == JobState::kDone) {
      outcome = JobState::kFailed;
      why = L"the central directory: write failed";
    }
    writer.reset();
  }
  if (job->cancel) outcome = JobState::kCancelled;
  long long size = 0;
  if (!FileSize(job->archive_path, &size)) size = 0;
  if (outcome == JobState::kDone && static_cast<uint64_t>(size) != job->plan.archive_size) {
    why = L"it came out at " + std::to_wstring(size) + L" bytes instead of the announced " +
          std::to_wstring(job->plan.archive_size);
    outcome = JobState::kFailed;
  }
  if (outcome != JobState::kDone) {
    ::DeleteFileW(job->archive_path.c_str());
    size = 0;
  }
  ModuleLog().Info(L"Built %ls zip in %ds. Size=%I64db", job->archive_path.c_str(),
                   static_cast<int>((::GetTickCount() - start) / 1000), size);
  if (outcome == JobState::kFailed) {
    ModuleLog().Error(L"CreateZip: %ls failed and was deleted: %ls", job->archive_path.c_str(), why.c_str());
  }
  registry.Move(job, outcome);
}

ZipJobs::ZipJobs() : ZipJobs(ZipJobHooks{}) {}
ZipJobs::ZipJobs(const ZipJobHooks& hooks) : registry_(std::make_shared<Registry>(hooks)) {}
ZipJobs::~ZipJobs() = default;

LONG ZipJobs::CreateZipOfPaths(const std::vector<std::wstring>& paths, VARIANT& output) {
  {
    auto job = std::make_shared<Job>();
    const ZipJobHooks& hooks = registry_->hooks;
    const LONG refused = PlanArchive(L"CreateZip", paths, &job->plan, hooks.max_held_files);
    if (refused != 0) return refused;
    ModuleLog().Info(L"Creating zip of %d files (%I64d -> %I64d)", static_cast<int>(job->plan.files.size()),
                     static_cast<long long>(job->plan.total), static_cast<long long>(job->plan.archive_size));

    UniqueFile file;
    job->over.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!job->over || !CreateTemporaryArchive(&job->archive_path, &file)) {
      ModuleLog().Warn(L"CreateZip: no new archive file (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    job->sink = FileSinkOn(std::move(file));
    if (hooks.wrap_sink) job->sink = hooks.wrap_sink(std::move(job->sink));
    // Registered before the worker can end, so that the worker's own end always comes after.
    registry_->Register(job);
    UniqueKernelHandle worker;
    auto abandon = [&] {  // no worker will run: nothing of the job may stay
      job->sink.reset();
      ::DeleteFileW(job->archive_path.c_str());
      registry_->Move(job, JobState::kFailed);
    };
    try {
      worker = StartModuleThread([registry = registry_, job] { Run(*registry, job); });
    } catch (...) {
      abandon();
      throw;
    }
    if (!worker) {
      abandon();
      ModuleLog().Warn(L"CreateZip: could not start the zip worker (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    if (hooks.on_worker) {
      UniqueKernelHandle copy;
      ::DuplicateHandle(::GetCurrentProcess(), worker.Get(), ::GetCurrentProcess(), copy.Receive(), 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
      hooks.on_worker(std::move(copy));
    }

    long long size = static_cast<long long>(job->plan.archive_size);
    if (::WaitForSingleObject(worker.Get(), hooks.wait_ms) != WAIT_TIMEOUT) {
      if (registry_->StateOf(*job) != JobState::kDone || !FileSize(job->archive_path, &size)) return 2;
    }
    answer::ArrayBuilder answer(job->plan.left_out.empty() ? 2 : 3);
    answer.Set(0, answer::String(job->archive_path)).Set(1, answer::LongLong(size));
    if (!job->plan.left_out.empty()) answer.Set(2, LeftOutAnswer(job->plan.left_out));
    answer.Finish().ReleaseInto(output);
    ModuleLog().Info(L"zip size %I64d.", size);
    return 0;
  }
}

bool ZipJobs::CancelAndWait(const std::wstring& path) {
  const std::shared_ptr<Job> cancelled = registry_->Cancel(path);
  // A cancelled job stops within the piece it is copying and deletes its archive itself.
  return cancelled != nullptr && ::WaitForSingleObject(cancelled->over.Get(), kCancelWaitMs) == WAIT_OBJECT_0 &&
         ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
}

size_t ZipJobs::Registered() const {
  auto guard = registry_->jobs.Lock();
  return registry_->jobs.container.by_path.size();
}

void ZipJobs::Start() {
  {
    auto guard = registry_->jobs.Lock();
    registry_->jobs.container.closing = false;
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

void ZipJobs::Stop(DWORD wait_ms) {
  std::vector<std::shared_ptr<Job>> running;
  {
    auto guard = registry_->jobs.Lock();
    registry_->jobs.container.closing = true;
    registry_->jobs.container.by_path.clear();
    running.assign(registry_->jobs.container.running.begin(), registry_->jobs.container.running.end());
    for (const auto& job : running) job->cancel = true;
  }
  const DWORD start = ::GetTickCount();
  for (const auto& job : running) {
    const DWORD spent = ::GetTickCount() - start;
    if (::WaitForSingleObject(job->over.Get(), spent < wait_ms ? wait_ms - spent : 0) != WAIT_OBJECT_0) {
      ModuleLog().Error(L"Close: the zip job for %ls did not stop in time", job->archive_path.c_str());
    }
  }
}

}  // namespace zel::zip
