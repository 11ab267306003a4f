#pragma once

#include <windows.h>
#include <oaidl.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/scoped_variant.h"
#include "common/unique_handle.h"
#include "zip/zip_writer.h"

namespace zel::zip {

// "CreateZip" and "QueryFileSize": input [string, id, id, ...] (a string array holding only the
// first string too): element 0, and the ids copied into an array of VARIANT (the routing id first)
// for the medium-list query.
struct ZipRequest {
  std::wstring first;
  ScopedVariant ids;
};
ZipRequest DecodeZipRequest(const VARIANT& input);

// Turns the medium ids of a "CreateZip" or "QueryFileSize" request into file paths. Appends the
// paths found, in order, and returns 0, or the non-zero code the service returns as it stands.
// The module's medium-list lookup is the one resolver outside the tests.
using MediumPathResolver =
    std::function<LONG(const std::wstring& first, const VARIANT& ids, std::vector<std::wstring>* paths)>;

// "CreateZip": output [archive path (VT_BSTR), archive size (VT_I8)]. Resolves the ids, then
// CreateZipOfPaths. Return codes: 0; 2 archive not built (no new file in the temporary folder, or
// the writing failed within the wait); 403, 404, 8 a listed file the archive cannot hold (see
// CreateZipOfPaths); the resolver's code; -1 (by its row) unusable input.
LONG CreateZip(const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve);

// "QueryFileSize": output [number of paths (VT_I4), their total size (VT_I8)]. 0; the code
// CreateZip would answer for the same files (403, 404, 8); the resolver's code; -1 (by its row)
// unusable input.
LONG QueryFileSize(const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve);

struct ZipJobOptions {
  DWORD wait_ms = 5000;  // how long CreateZip waits for its worker before answering
  // If set, receives a handle of the worker thread (the caller's to close), for callers that must
  // know when the job has ended.
  UniqueKernelHandle* worker = nullptr;
  // If set, wraps the sink on the new archive file (tests: a disk that fills up).
  std::function<std::unique_ptr<ZipSink>(std::unique_ptr<ZipSink>)> wrap_sink;
};

// The part of "CreateZip" after the ids are resolved: a stored archive of `paths` in the temporary
// folder, written by a worker thread. Answers at once when the worker ends within the wait (with
// the archive's size), else with the size the archive will have, and leaves the worker running,
// registered so that DeleteTempFile can cancel it. Every listed file is checked first as the
// writer will open it, so that the announced size is the archive's exact size; a job that still
// fails (a full disk, a file that changed meanwhile) deletes its archive and writes an ERROR line,
// and within the wait answers 2. A listed file refuses the whole request before anything is
// written: 404 it does not exist; 403 it cannot be opened as the writer opens it (another process
// holds it for writing or exclusively, a folder) or its archive name is too long; 8 it has 4 GiB
// or more, or the archive would.
LONG CreateZipOfPaths(const std::vector<std::wstring>& paths, VARIANT& output, const ZipJobOptions& options = {});

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
LONG DeleteTempFile(const DeleteRequest& request);

// Deletes `path` if it is one of our archives as DeleteTempFile judges it: 0, 403 or 404.
LONG DeleteOwnArchive(const std::wstring& path);

// Module start: jobs may run, and archives of ours last written a day ago or more (left by a crash,
// or never fetched) are deleted.
void StartZipJobs();

// Module close: cancels every running job (each deletes its archive) and waits up to `wait_ms`
// for them. Jobs asked for afterwards are cancelled at once, until StartZipJobs.
void StopZipJobs(DWORD wait_ms);

// Jobs currently registered in the job map (running past their CreateZip's wait, or still within
// it).
size_t RegisteredZipJobs();

}  // namespace zel::zip
