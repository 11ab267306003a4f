#pragma once

#include <windows.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "browse/folder_enum.h"
#include "common/file_identity.h"

namespace zel::browse {

// One EnumerateFolder call's state, carried down its recursion: what to list, where to put it, and
// the folders already entered.
class FolderWalk {
 public:
  FolderWalk(const FolderEnumOptions& options, FileList& items) : options_(options), items_(items) {}
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  const FolderEnumOptions& Options() const noexcept { return options_; }
  FileList& Items() noexcept { return items_; }

  // What a recursive listing does with the file-system folder `path` it met `depth` levels below
  // the listed one: enter it; skip it without a row (it was entered already: a second link to it,
  // or a link back to a folder above); or list it as a row, not entered (the depth limit, which
  // writes a WARN line naming it).
  enum class Step { kEnter, kSkip, kList };
  Step Decide(const std::wstring& path, int depth);
  // Notes the listed folder itself as entered, so that a link back to it is not followed.
  void NoteTop(const std::wstring& path);

 private:
  const FolderEnumOptions& options_;
  FileList& items_;
  std::set<FileIdentity> entered_;
};

// Whether `name` ends in "." followed by one of `filter`, ignoring case.
bool MatchesFilter(const std::wstring& name, const std::vector<std::wstring>& filter);

// `folder` + "\" + `name` (no doubled backslash after a root such as "D:\").
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);

// Lists the disk folder `path` from its directory read (in the extended form, so any length), with
// the walk's options, `depth` levels below the listed folder. For folders the shell cannot name:
// items keep the ordinary form of their paths.
void ListDirectory(const std::wstring& path, FolderWalk& walk, int depth);

}  // namespace zel::browse
