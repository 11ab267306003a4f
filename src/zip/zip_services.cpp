// The zip services: "CreateZip", "QueryFileSize" and "DeleteTempFile" ("ZipLogs" is in
// zip_logs.cpp). The jobs themselves are ZipJobs'.

#include <algorithm>
#include <climits>

#include "common/answer.h"
#include "common/module_log.h"
#include "common/request_input.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"
#include "zip/zip_jobs.h"
#include "zip/zip_paths.h"
#include "zip/zip_plan.h"

namespace zel::zip {
namespace {

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

LONG CreateZip(ZipJobs& jobs, const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve) {
  return ResolveThen(request, resolve,
                     [&](const std::vector<std::wstring>& paths) { return jobs.CreateZipOfPaths(paths, output); });
}

LONG QueryFileSize(const ZipRequest& request, VARIANT& output, const MediumPathResolver& resolve) {
  return ResolveThen(request, resolve,
                     [&](const std::vector<std::wstring>& paths) { return QueryFileSizeOfPaths(paths, output); });
}

LONG QueryFileSizeOfPaths(const std::vector<std::wstring>& paths, VARIANT& output) {
  {
    uint64_t count = 0;
    uint64_t total = 0;
    CountFiles(paths, &count, &total);
    answer::List(answer::Long(static_cast<LONG>(std::min<uint64_t>(count, LONG_MAX))),
                 answer::LongLong(static_cast<long long>(total)))
        .ReleaseInto(output);
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

LONG DeleteTempFile(ZipJobs& jobs, const DeleteRequest& request) {
  {
    const std::wstring& path = request.path;
    if (!IsBoundedClientPath(path)) {
      ModuleLog().Warn(L"DeleteTempFile: refused a path of %u characters", static_cast<unsigned>(path.size()));
      return 403;
    }
    // A cancelled job deletes its archive itself; once it has, the archive is gone as asked.
    if (jobs.CancelAndWait(path)) return 0;
    const LONG deleted = DeleteOwnArchive(path);
    if (deleted == 403) ModuleLog().Warn(L"DeleteTempFile: %ls is not an archive of ours", path.c_str());
    return deleted;
  }
}

}  // namespace zel::zip
