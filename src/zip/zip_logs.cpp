#include "zip/zip_logs.h"

#include <shlwapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>

#include "common/answer.h"
#include "common/request_input.h"
#include "common/module_log.h"
#include "common/product_folders.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "zip/zip_entry_tree.h"
#include "zip/zip_paths.h"
#include "zip/zip_writer.h"

namespace zel::zip {
namespace {

// The folder to archive and the final path of the data folder, which every archived file must lie
// in once links are followed; 0, or the code to answer with.
LONG FolderToArchive(const std::wstring& sub, std::wstring* folder, std::wstring* data_final) {
  const std::optional<std::wstring> data = GetProductFolder(ProductFolder::kData);
  if (!data) return 1;
  *folder = *data;
  *data_final = FinalFolderPath(*folder);
  if (sub.empty()) return 0;
  wchar_t appended[MAX_PATH] = {};
  // PathAppendW drops a leading "\", so "\Logs" is Logs; it also accepts ".." and rooted paths,
  // which the text check refuses first.
  if (!IsBoundedClientPath(sub) || !IsContainedRelativePath(sub) || folder->size() >= MAX_PATH ||
      !::PathAppendW(wcscpy(appended, folder->c_str()), sub.c_str())) {
    ModuleLog().Warn(L"ZipLogs: refused the folder %s", sub.substr(0, kMaxClientPath).c_str());
    return 403;
  }
  // A sub-folder that is a link leading out of the data folder is refused as a whole.
  const std::wstring sub_final = FinalFolderPath(appended);
  if (!sub_final.empty() && !data_final->empty() && CompareStringOrdinal(sub_final.c_str(), -1, data_final->c_str(), -1, TRUE) != CSTR_EQUAL &&
      !IsFinalPathInside(sub_final, *data_final)) {
    ModuleLog().Warn(L"ZipLogs: refused the folder %s, which leads to %s", sub.c_str(), sub_final.c_str());
    return 403;
  }
  *folder = appended;
  return 0;
}

// The files left out of an archive and why: each gets an ERROR line, and the archive ends with an
// entry listing them, so that whoever reads it knows what it misses.
class LeftOut {
 public:
  static constexpr const wchar_t* kEntryName = L"left-out.txt";

  void Add(const std::wstring& path, const std::wstring& name, const std::wstring& why) {
    ModuleLog().Error(L"ZipLogs: left %ls out of the archive: %ls", path.c_str(), why.c_str());
    std::wstring shown = name;  // as the archive names it
    std::replace(shown.begin(), shown.end(), L'\\', L'/');
    text_ += shown + L": " + why + L"\r\n";
  }
  // The reason a file could not be opened, from GetLastError() as the open left it.
  static std::wstring CannotOpen() {
    const DWORD error = ::GetLastError();
    std::wstring why = L"it cannot be opened (error " + std::to_wstring(error);
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) why += L": another process holds it";
    if (error == ERROR_ACCESS_DENIED) why += L": access denied";
    return why + L")";
  }
  bool Empty() const { return text_.empty(); }
  std::string Utf8() const { return WideToUtf8(L"Files left out of this archive:\r\n" + text_); }

 private:
  std::wstring text_;
};

}  // namespace

LogsRequest DecodeLogsRequest(const VARIANT& input) {
  return {V_VT(&input) == VT_BSTR ? input::Text::Of(input).Value() : std::wstring()};
}

LONG ZipLogs(const LogsRequest& request, VARIANT& output) {
  {
    std::wstring folder;
    std::wstring data_final;
    const LONG refused = FolderToArchive(request.sub_folder, &folder, &data_final);
    if (refused != 0) return refused;

    CZipEntryTree tree;
    tree.AddFolderFiles(folder);
    std::wstring archive;
    UniqueFile created;
    if (!CreateTemporaryArchive(&archive, &created)) {
      ModuleLog().Warn(L"ZipLogs: no new archive file (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    std::unique_ptr<CZipWriter> writer = CZipWriter::CreateArchive(FileSinkOn(std::move(created)));
    const auto fail = [&](const std::wstring& why) -> LONG {
      if (writer != nullptr) writer->CloseArchive();
      writer.reset();
      ::DeleteFileW(archive.c_str());
      ModuleLog().Error(L"ZipLogs: %ls failed and was deleted: %ls", archive.c_str(), why.c_str());
      return 2;
    };
    if (writer == nullptr) return fail(L"no writer");
    // Files others hold open for writing (the logs) are read all the same, up to the size they had
    // when opened; never through a link that leads out of the data folder.
    LeftOut left_out;
    for (const auto& file : tree.Files()) {
      const std::wstring name = tree.ArchiveName(*file);
      UniqueFile source(::CreateFileW(file->path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      if (!source) {
        left_out.Add(file->path, name, LeftOut::CannotOpen());
        continue;
      }
      if (!IsFinalPathInside(FinalPathOf(source.Get()), data_final)) {
        left_out.Add(file->path, name, L"it leads out of the data folder");
        continue;
      }
      const ZipResult result = writer->AddEntry(name, ZipSource::OpenFile(source.Get()), false);
      if (result == ZipCannotOpen || result == ZipBadArguments) {  // refused before anything was written
        left_out.Add(file->path, name, ZipResultText(result));
      } else if (result != ZipOk) {
        return fail(file->path + L": " + ZipResultText(result));
      }
    }
    if (!left_out.Empty()) {
      const std::string list = left_out.Utf8();
      const ZipResult result = writer->AddEntry(LeftOut::kEntryName, ZipSource::Memory(list.data(), list.size()), false);
      if (result != ZipOk) return fail(std::wstring(LeftOut::kEntryName) + L": " + ZipResultText(result));
    }
    if (writer->CloseArchive() != ZipOk) return fail(L"the central directory: write failed");
    writer.reset();

    struct _stat64 status;
    if (_wstat64(archive.c_str(), &status) != 0) return 2;
    // VT_I4 as clients have always read it; VT_I8 only for a size that does not fit.
    const long long size = status.st_size;
    ScopedVariant size_answer = size <= LONG_MAX ? answer::Long(static_cast<LONG>(size)) : answer::LongLong(size);
    answer::List(answer::String(archive), std::move(size_answer)).ReleaseInto(output);
    return 0;
  }
}

}  // namespace zel::zip
