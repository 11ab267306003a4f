#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "zip/zip_folder_walk.h"
#include "zip/zip_names.h"

namespace zel::zip {

// One file of a planned archive.
struct PlannedFile {
  std::wstring path;
  ArchiveName name;       // as stored, made once when the plan is complete
  uint64_t size = 0;      // the file's size when planned: exactly this many bytes are archived
  UniqueFile file;        // open since planning, or closed past kMaxHeldFiles (see OpenPlannedFile)
  FileIdentity identity;  // of a file that is not held, to know it again when it is reopened
};

// A source left out of a planned archive, and why (also written as a WARN line).
struct LeftOutSource {
  std::wstring path;
  std::wstring why;
};

// What one archive will hold, and what was left out of it.
struct ZipPlan {
  std::vector<PlannedFile> files;
  std::vector<LeftOutSource> left_out;
  uint64_t total = 0;                  // bytes of the files
  uint64_t archive_size = 0;           // the exact size of their stored archive
};

// How many source files a plan keeps open from planning until the writer reads them. The rest
// (an archive of tens of thousands of small files) are closed once planned and opened again by
// path when their turn comes, then accepted only if they are still the same file. Well under the
// per-process handle limits, and enough for every selection of media files people make.
// PlanArchive takes another limit for the tests.
constexpr size_t kMaxHeldFiles = 4096;

// Plans the stored archive of `paths`, opening each source once, as the writer will read it
// (shared for reading and writing, so that a file still being recorded is taken as it is). A
// folder among the paths adds every file under it at any depth (see WalkFolder), named inside the
// archive by the folder's own name and the path below it. A source that is missing, cannot be
// opened or examined, or has a name the archive cannot hold is left out with one WARN line
// "<service>: left out <path>: <why>". Answers 0, or, when paths were given and every one of them
// was left out, 404 if none exists and 403 otherwise. No paths at all plan the empty archive.
LONG PlanArchive(const wchar_t* service, const std::vector<std::wstring>& paths, ZipPlan* plan,
                 size_t max_held_files = kMaxHeldFiles);

// The handle the writer reads `file` through: the one held since planning, or the path opened
// again (into `reopened`) if it is still the file that was planned (`identities` keeps the
// volumes of the folders met so far, for the job's files). Null, with `why` set, when it is not.
HANDLE OpenPlannedFile(const PlannedFile& file, FileIdentities& identities, UniqueFile* reopened, std::wstring* why);

// "QueryFileSize"'s count and total of `paths`: each path counts once and adds its size, or 0 when
// it cannot be examined; a folder counts and adds the files under it, as PlanArchive finds them.
void CountFiles(const std::vector<std::wstring>& paths, uint64_t* count, uint64_t* total);

}  // namespace zel::zip
