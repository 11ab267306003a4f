#include "zip/zip_folder_walk.h"

#include <set>

#include "common/unique_handle.h"
#include "zip/zip_paths.h"

namespace zel::zip {
namespace {

class FolderWalk {
 public:
  FolderWalk(const FolderWalkVisitor& visit, std::wstring root_final) : visit_(visit), root_final_(std::move(root_final)) {}

  // False when `folder` cannot be listed.
  bool Walk(const std::wstring& folder, bool is_root) {
    UniqueFile opened(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    FileIdentity identity;
    if (!opened || !IdentityOf(opened.Get(), &identity)) return Skip(folder, L"cannot be opened", is_root);
    if (!visited_.insert(identity).second) return true;  // met already through another path
    if (!is_root && !IsFinalPathInside(FinalPathOf(opened.Get()), root_final_)) {
      return Skip(folder, L"leads out of the chosen folder", false);
    }
    WIN32_FIND_DATAW found;
    UniqueFind find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return Skip(folder, L"cannot be listed", is_root);
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        Walk(path, false);
      } else if (visit_.file) {
        visit_.file(path, found);
      }
    } while (::FindNextFileW(find.Get(), &found));
    return true;
  }

 private:
  bool Skip(const std::wstring& folder, const wchar_t* why, bool is_root) {
    if (!is_root && visit_.skipped_folder) visit_.skipped_folder(folder, why);
    return !is_root;
  }

  const FolderWalkVisitor& visit_;
  const std::wstring root_final_;
  std::set<FileIdentity> visited_;
};

}  // namespace

bool WalkFolder(const std::wstring& folder, const FolderWalkVisitor& visit) {
  FolderWalk walk(visit, FinalFolderPath(folder));
  return walk.Walk(folder, true);
}

}  // namespace zel::zip
