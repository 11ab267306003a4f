#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/scoped_variant.h"

namespace zel::zip {

struct ZipJobHooks;

// Turns the medium ids of a "CreateZip" or "QueryFileSize" request into file paths: `first` is
// the request's element 0, `ids` an array of VARIANT holding the ids (the routing id first).
// Appends the paths found, in order, and returns 0, or the non-zero code the service returns as
// it stands. The module's medium-list lookup is the one resolver outside the tests.
using MediumPathResolver =
    std::function<LONG(const std::wstring& first, const VARIANT& ids, std::vector<std::wstring>* paths)>;

// The module's "CreateZip" jobs: each writes one stored archive in the temporary folder on a worker
// thread of its own. A job moves Planned -> Writing -> Done | Failed | Cancelled; while it is not
// over it is registered under its archive path, so that DeleteTempFile can cancel it and Stop can
// wait for it. One ZipJobs per module object, with its own lock; a worker that outlives the
// module's Close keeps what it needs of it alive until it ends.
class ZipJobs {
 public:
  ZipJobs();
  // A ZipJobs that runs its jobs as `hooks` say (tests; see zip_job_hooks.h).
  explicit ZipJobs(const ZipJobHooks& hooks);
  ~ZipJobs();
  ZipJobs(const ZipJobs&) = delete;
  ZipJobs& operator=(const ZipJobs&) = delete;

  // The part of "CreateZip" after the ids are resolved: a stored archive of `paths` in the
  // temporary folder, written by a worker thread. Answers [archive path (VT_BSTR), size (VT_I8)],
  // followed, when sources were left out, by [[path, why], ...] (VT_BSTR pairs) naming them,
  // at once when the worker ends within the wait (with the archive's size), else with the size
  // the archive will have, leaving the worker running. A job that fails (a full disk, a file that
  // changed meanwhile) deletes its archive and writes an ERROR line, and within the wait answers 2;
  // so does a request that finds no new archive file. See PlanArchive for what is archived and
  // what refuses the request.
  LONG CreateZipOfPaths(const std::vector<std::wstring>& paths, VARIANT& output);

  // Cancels the job writing `path`, if one is, and waits until it has stopped and deleted its
  // archive (a bounded wait). True when a job was cancelled and its archive is gone.
  bool CancelAndWait(const std::wstring& path);

  // Module start: jobs may run, and archives of ours last written a day ago or more (left by a
  // crash, or never fetched) are deleted.
  void Start();
  // Module close: cancels every job (each deletes its archive) and waits up to `wait_ms` for them.
  // Jobs asked for afterwards are cancelled at once, until Start.
  void Stop(DWORD wait_ms);

  // Jobs DeleteTempFile can cancel now.
  size_t Registered() const;

 private:
  struct Job;
  struct Registry;
  // A job's worker.
  static void Run(Registry& registry, const std::shared_ptr<Job>& job);

  std::shared_ptr<Registry> registry_;
};

// "CreateZip" and "QueryFileSize": input [string, id, id, ...] (a string array holding only the
// first string too): element 0, and the ids copied into an array of VARIANT (the routing id first)
// for the medium-list query.
struct ZipRequest {
  std::wstring first;
  ScopedVariant ids;
};
ZipRequest DecodeZipRequest(const VARIANT& input);

// "CreateZip": output [archive path (VT_BSTR), archive size (VT_I8)], and a third element naming
// the sources left out when there are any (see CreateZipOfPaths). Resolves the ids, then
// ZipJobs::CreateZipOfPaths. Return codes: those of CreateZipOfPaths; the resolver's code; -1 (by
// its row) unusable input.
LONG CreateZip(ZipJobs& jobs, const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve);

// "QueryFileSize": output [number of paths (VT_I4), their total size (VT_I8)]. 0; the resolver's
// code; -1 (by its row) unusable input.
LONG QueryFileSize(const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve);

// The part of "QueryFileSize" after the ids are resolved.
LONG QueryFileSizeOfPaths(const std::vector<std::wstring>& paths, VARIANT& output);

// "DeleteTempFile": input [string (not used), archive path]. Cancels the archive's job if it is
// still running, then deletes the file if it is one of ours: a regular file (no link, no folder)
// directly inside the temporary folder with an archive's name, judged by the final path of what the
// path opens. 0 deleted; 403 anything else, or a path longer than any of ours (nothing deleted);
// 404 missing or not deletable (a running job deletes it itself when it stops); -1 (by its row)
// unusable input.
struct DeleteRequest {
  std::wstring path;
};
DeleteRequest DecodeDeleteRequest(const VARIANT& input);
LONG DeleteTempFile(ZipJobs& jobs, const DeleteRequest& request);

// Deletes `path` if it is one of our archives as DeleteTempFile judges it: 0, 403 or 404.
LONG DeleteOwnArchive(const std::wstring& path);

}  // namespace zel::zip
