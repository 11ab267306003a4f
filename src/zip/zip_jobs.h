#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace zel::zip {

// Turns the medium ids of a "CreateZip" or "QueryFileSize" request into file paths: `first` is
// the request's element 0, `ids` an array of VARIANT holding the ids (the routing id first).
// Appends the paths found, in order, and returns 0, or the non-zero code the service returns as
// it stands. The module's medium-list lookup is the one resolver outside the tests.
using MediumPathResolver =
    std::function<LONG(const std::wstring& first, const VARIANT& ids, std::vector<std::wstring>* paths)>;

// "CreateZip": input [string, id, id, ...]; output [archive path (VT_BSTR), archive size
// (VT_I8)]. Resolves the ids, then CreateZipOfPaths. Return codes: 0; 2 archive not found; the
// resolver's code; -1 unusable input.
LONG CreateZip(const VARIANT& input, VARIANT& output, const MediumPathResolver& resolve);

// "QueryFileSize": input as CreateZip; output [number of paths (VT_I4), their total size (VT_I8)].
// 0, the resolver's code, or -1 for unusable input.
LONG QueryFileSize(const VARIANT& input, VARIANT& output, const MediumPathResolver& resolve);

struct ZipJobOptions {
  DWORD wait_ms = 5000;  // how long CreateZip waits for its worker before answering
  // If set, receives a handle of the worker thread (the caller's to close), for callers that must
  // know when the job has ended.
  UniqueKernelHandle* worker = nullptr;
};

// The part of "CreateZip" after the ids are resolved: a stored archive of `paths` in the temporary
// folder, written by a worker thread. Answers at once when the worker ends within the wait (with
// the archive's size), else with the size the archive will have, and leaves the worker running,
// registered so that DeleteTempFile can cancel it. Jobs still running when the module closes
// finish on their own: they touch nothing but their own record and the process-wide job map and
// log, and their threads keep the module loaded until they end.
LONG CreateZipOfPaths(const std::vector<std::wstring>& paths, VARIANT& output, const ZipJobOptions& options = {});

// The part of "QueryFileSize" after the ids are resolved.
LONG QueryFileSizeOfPaths(const std::vector<std::wstring>& paths, VARIANT& output);

// "DeleteTempFile": input [string (not used), archive path]. Cancels the archive's job if it is
// still running, then deletes the file if it lies inside the temporary folder once canonicalised.
// 0 deleted; 403 not inside the temporary folder (nothing deleted); 404 not deletable (a running
// job deletes it itself when it stops); -1 unusable input.
LONG DeleteTempFile(const VARIANT& input, VARIANT& output);

// Jobs currently registered in the job map (running past their CreateZip's wait, or still within
// it).
size_t RegisteredZipJobs();

}  // namespace zel::zip
