#include "browse/folder_walk.h"

#include <cstring>
#include <cwchar>
#include <memory>

#include "common/long_path.h"
#include "common/module_log.h"
#include "common/unique_handle.h"

namespace zel::browse {
void FolderWalk::NoteTop(const std::wstring& path) {
  if (const std::optional<FileIdentity> identity = IdentityOf(path)) entered_.insert(*identity);
}

FolderWalk::Step FolderWalk::Decide(const std::wstring& path, int depth) {
  if (depth >= kMaxFolderDepth) {
    ModuleLog().Warn(L"GetDiskFolderContent: recursion stops %d folders down, not entering %s", kMaxFolderDepth,
                     path.c_str());
    return Step::kList;
  }
  // A folder that cannot be opened is entered all the same: its listing will be empty or the
  // depth limit ends it.
  const std::optional<FileIdentity> identity = IdentityOf(path);
  if (identity && !entered_.insert(*identity).second) {
    ModuleLog().Info(L"GetDiskFolderContent: %s leads to a folder listed already", path.c_str());
    return Step::kSkip;
  }
  return Step::kEnter;
}

bool MatchesFilter(const std::wstring& name, const std::vector<std::wstring>& filter) {
  const size_t dot = name.rfind(L'.');
  const std::wstring extension = dot != std::wstring::npos ? name.substr(dot + 1) : std::wstring();
  for (const std::wstring& wanted : filter) {
    if (_wcsicmp(wanted.c_str(), extension.c_str()) == 0) return true;
  }
  return false;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
  return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

void ListDirectory(const std::wstring& path, FolderWalk& walk, int depth) {
  const FolderEnumOptions& options = walk.Options();
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileExW(JoinPath(ExtendedLengthPath(path), L"*").c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = data.dwFileAttributes;
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((attributes & FILE_ATTRIBUTE_HIDDEN) != 0 && !options.include_hidden) continue;
    const std::wstring child = JoinPath(path, name);
    if (folder && options.recursive) {
      const FolderWalk::Step step = walk.Decide(child, depth);
      if (step == FolderWalk::Step::kSkip) continue;
      if (step == FolderWalk::Step::kEnter) {
        ListDirectory(child, walk, depth + 1);
        continue;
      }
    }
    if (folder ? !options.include_folders : !options.include_files) continue;
    if (!folder && !options.filter.empty() && !MatchesFilter(name, options.filter)) continue;
    auto item = std::make_unique<CFileTools>(child, name);
    item->SetBrowsable(folder);
    // The read describes a link itself; its target's facts come from an open when asked.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) item->SetFacts(FactsOf(data), folder);
    walk.Items().push_back(std::move(item));
  } while (::FindNextFileW(find.Get(), &data));
}

}  // namespace zel::browse
