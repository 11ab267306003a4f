#include "zip/zip_logs.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <shlwapi.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <string>

#include "common/handler_guard.h"
#include "common/module_log.h"
#include "common/unique_handle.h"
#include "zip/zip_answers.h"
#include "zip/zip_entry_tree.h"
#include "zip/zip_paths.h"
#include "zip/zip_writer.h"

namespace zel::zip {
namespace {

// The data folder, or the sub-folder the input names; 0, or the code to answer with.
LONG FolderToArchive(const VARIANT& input, std::wstring* folder) {
  if (!ModuleDataFolder(folder)) return 1;
  if (V_VT(&input) != VT_BSTR) return 0;
  const BSTR text = V_BSTR(&input);
  const std::wstring sub(text != nullptr ? text : L"", ::SysStringLen(text));
  if (sub.empty()) return 0;
  wchar_t appended[MAX_PATH] = {};
  if (!IsContainedRelativePath(sub) || folder->size() >= MAX_PATH ||
      !::PathAppendW(wcscpy(appended, folder->c_str()), sub.c_str()) || !IsInsideFolder(appended, *folder)) {
    ModuleLog().Warn(L"ZipLogs: refused the folder %s", sub.c_str());
    return 403;
  }
  *folder = appended;
  return 0;
}

enum class ReadOutcome { kRead, kSkipped, kNoMemory };

// Reads a whole file the way the logs are left open for others: shared, read-only, binary. Only
// the bytes present when it was opened are taken, however much the file grows meanwhile.
ReadOutcome ReadWholeFile(const std::wstring& path, std::unique_ptr<unsigned char[]>* bytes, size_t* size) {
  UniqueCrtFile file;
  if (_wsopen_s(file.Receive(), path.c_str(), _O_BINARY | _O_RDONLY, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) {
    return ReadOutcome::kSkipped;
  }
  struct _stat64i32 status;
  if (_fstat64i32(file.Get(), &status) != 0 || status.st_size < 0) return ReadOutcome::kSkipped;
  // Some runtimes cut the size of a file of 4 GiB or more to its low 32 bits instead of failing;
  // such a file would go into the archive as its first few bytes, so it counts as unreadable.
  if (_filelengthi64(file.Get()) != status.st_size) return ReadOutcome::kSkipped;
  const size_t length = static_cast<size_t>(status.st_size);
  bytes->reset(new (std::nothrow) unsigned char[length > 0 ? length : 1]);
  if (*bytes == nullptr) return ReadOutcome::kNoMemory;
  size_t done = 0;
  while (done < length) {
    const unsigned piece = static_cast<unsigned>(std::min<size_t>(length - done, INT_MAX));
    const int got = _read(file.Get(), bytes->get() + done, piece);
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  *size = done;
  return ReadOutcome::kRead;
}

}  // namespace

LONG ZipLogs(const VARIANT& input, VARIANT& output) {
  return GuardHandler(L"ZipLogs: %s", -1, [&]() -> LONG {
    std::wstring folder;
    const LONG refused = FolderToArchive(input, &folder);
    if (refused != 0) return refused;

    CZipEntryTree tree;
    tree.AddFolderFiles(folder);
    std::wstring archive;
    if (!MakeTemporaryArchiveName(&archive)) {
      ModuleLog().Warn(L"ZipLogs: no temporary file name (error %u)", static_cast<unsigned>(::GetLastError()));
      return 2;
    }
    // A writer that could not be created makes every entry fail quietly, as for CreateZip.
    std::unique_ptr<CZipWriter> writer = CZipWriter::CreateArchive(archive);
    for (const auto& file : tree.Files()) {
      std::unique_ptr<unsigned char[]> bytes;
      size_t size = 0;
      const ReadOutcome outcome = ReadWholeFile(file->path, &bytes, &size);
      if (outcome == ReadOutcome::kSkipped) continue;
      if (outcome == ReadOutcome::kNoMemory) {
        ModuleLog().Error(L"Ran out of memory!");
        if (writer != nullptr) writer->CloseArchive();
        writer.reset();
        ::DeleteFileW(archive.c_str());
        return 8;
      }
      if (writer != nullptr) writer->AddEntry(tree.ArchiveName(*file), ZipSource::Memory(bytes.get(), size), false);
    }
    if (writer != nullptr) writer->CloseArchive();
    writer.reset();

    struct _stat64i32 status;
    if (_wstat64i32(archive.c_str(), &status) != 0) return 2;
    answers::PutPair(output, answers::Bstr(archive), answers::I4(static_cast<LONG>(status.st_size)));
    return 0;
  });
}

}  // namespace zel::zip
