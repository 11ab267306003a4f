#include "zip/zip_plan.h"

#include "common/module_log.h"
#include "zip/zip_entry_tree.h"
#include "zip/zip_headers.h"

namespace zel::zip {
namespace {

// What became of one path: a file planned (it may still be left out for its name), a folder (its
// files, however many), or nothing.
enum class Planned { kFile, kFolder, kMissing, kRefused };

bool IsMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_BAD_NETPATH || error == ERROR_INVALID_DRIVE;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

// Fills a plan path by path; the tree gives the files their archive names once all are in.
class Planner {
 public:
  Planner(const wchar_t* service, ZipPlan* plan, size_t max_held) : service_(service), plan_(*plan), max_held_(max_held) {}

  Planned AddPath(const std::wstring& given) {
    const std::wstring path = WithoutTrailingSeparators(given);
    // Most paths name files: each is opened at once, as the writer will read it, and only a path
    // that cannot be opened as a file costs a second look (a folder, or why it is left out).
    UniqueFile file(OpenSource(path));
    if (file) return AddOpened(path, std::move(file));
    const DWORD open_error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const bool missing = IsMissing(::GetLastError());
      LeaveOut(path, missing ? L"it does not exist" : L"it cannot be examined");
      return missing ? Planned::kMissing : Planned::kRefused;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return Unopened(path, open_error);
    tree_.AddFolder(path);
    FolderWalkVisitor visit;
    visit.file = [this](const std::wstring& file, const WIN32_FIND_DATAW&) { AddFile(file); };
    visit.skipped_folder = [this](const std::wstring& folder, const wchar_t* why) { LeaveOut(folder, why); };
    if (!WalkFolder(path, visit)) {
      LeaveOut(path, L"the folder cannot be listed");
      return Planned::kRefused;
    }
    return Planned::kFolder;
  }

  // Names every file, leaves out those whose name the archive cannot hold, and lays out the rest.
  void Finish() {
    std::vector<PlannedFile> named;
    named.reserve(plan_.files.size());
    ZipLayout layout;
    for (size_t i = 0; i < plan_.files.size(); ++i) {
      PlannedFile& file = plan_.files[i];
      if (!ToArchiveName(tree_.ArchiveName(*tree_.Files()[i]), &file.name)) {
        LeaveOut(file.path, L"its name inside the archive would not be 1 to 259 bytes of UTF-8");
        continue;
      }
      layout.AddStored(file.name.bytes.size(), file.size);
      plan_.total += file.size;
      named.push_back(std::move(file));
    }
    plan_.files = std::move(named);
    plan_.archive_size = layout.Size();
  }

 private:
  static HANDLE OpenSource(const std::wstring& path) {
    // Shared for writing: a recording still being written is archived as far as it has got.
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  }

  Planned AddFile(const std::wstring& path) {
    UniqueFile file(OpenSource(path));
    return file ? AddOpened(path, std::move(file)) : Unopened(path, ::GetLastError());
  }

  Planned Unopened(const std::wstring& path, DWORD error) {
    const bool missing = IsMissing(error);
    LeaveOut(path, missing ? L"it does not exist"
                           : L"it cannot be opened for reading (held exclusively by another program, or not ours to read)");
    return missing ? Planned::kMissing : Planned::kRefused;
  }

  Planned AddOpened(const std::wstring& path, UniqueFile file) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size)) {
      LeaveOut(path, L"its size cannot be read");
      return Planned::kRefused;
    }
    PlannedFile planned;
    planned.path = path;
    planned.size = static_cast<uint64_t>(size.QuadPart);
    if (plan_.files.size() >= max_held_) {
      if (!identities_.Of(path, file.Get(), &planned.identity)) {
        LeaveOut(path, L"it cannot be told apart from other files");
        return Planned::kRefused;
      }
    } else {
      planned.file = std::move(file);
    }
    plan_.files.push_back(std::move(planned));
    tree_.AddFile(path);
    return Planned::kFile;
  }

  void LeaveOut(const std::wstring& path, const wchar_t* why) {
    ModuleLog().Warn(L"%ls: left out %ls: %ls", service_, path.c_str(), why);
    plan_.left_out.push_back({path, why});
  }

  const wchar_t* service_;
  ZipPlan& plan_;
  const size_t max_held_;
  CZipEntryTree tree_;
  FileIdentities identities_;
};

}  // namespace

LONG PlanArchive(const wchar_t* service, const std::vector<std::wstring>& paths, ZipPlan* plan, size_t max_held_files) {
  Planner planner(service, plan, max_held_files);
  bool any_folder = false;
  bool any_exists = false;
  for (const std::wstring& path : paths) {
    const Planned planned = planner.AddPath(path);
    any_folder |= planned == Planned::kFolder;
    any_exists |= planned != Planned::kMissing;
  }
  planner.Finish();
  // An empty folder is archived as what it holds: nothing.
  if (paths.empty() || any_folder || !plan->files.empty()) return 0;
  return any_exists ? 403 : 404;
}

HANDLE OpenPlannedFile(const PlannedFile& file, FileIdentities& identities, UniqueFile* reopened, std::wstring* why) {
  if (file.file) return file.file.Get();
  reopened->Reset(::CreateFileW(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  FileIdentity now;
  if (!*reopened) {
    *why = L"it cannot be opened again";
  } else if (!identities.Of(file.path, reopened->Get(), &now) || !(now == file.identity)) {
    *why = L"it is no longer the file that was planned (replaced meanwhile)";
  } else {
    return reopened->Get();
  }
  reopened->Reset();
  return nullptr;
}

void CountFiles(const std::vector<std::wstring>& paths, uint64_t* count, uint64_t* total) {
  *count = 0;
  *total = 0;
  const auto add = [&](const WIN32_FIND_DATAW& found) {
    ++*count;
    *total += (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
  };
  for (const std::wstring& given : paths) {
    const std::wstring path = WithoutTrailingSeparators(given);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
      ++*count;  // counted, adds nothing
    } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      FolderWalkVisitor visit;
      visit.file = [&](const std::wstring&, const WIN32_FIND_DATAW& found) { add(found); };
      WalkFolder(path, visit);
    } else {
      ++*count;
      *total += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
  }
}

}  // namespace zel::zip
