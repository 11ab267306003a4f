#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "browse/file_tools.h"

namespace zel::browse {

// A folder listing: the items belong to the list.
using FileList = std::vector<std::unique_ptr<CFileTools>>;

// Recursive listings enter folders down to this many levels below the listed folder.
constexpr int kMaxFolderDepth = 64;

// What a listing includes. The bits of FromFlags are the option flags of "GetDiskFolderContent".
struct FolderEnumOptions {
  static constexpr long kFolders = 0x01;
  static constexpr long kFiles = 0x02;
  static constexpr long kNonFileSystem = 0x04;
  static constexpr long kHidden = 0x08;
  static constexpr long kRecursive = 0x10;

  static FolderEnumOptions FromFlags(long flags, std::vector<std::wstring> filter = {}) {
    return {(flags & kHidden) != 0,        (flags & kFolders) != 0,   (flags & kFiles) != 0,
            (flags & kNonFileSystem) != 0, (flags & kRecursive) != 0, std::move(filter)};
  }

  // Hidden objects are enumerated and listed.
  bool include_hidden = false;
  // File-system folders / files are listed.
  bool include_folders = true;
  bool include_files = true;
  // Objects without the file-system attribute (drives' parents, network places) are listed.
  bool include_non_file_system = false;
  // A folder met is replaced by its contents, depth first. A linked folder (junction, symbolic
  // link) is entered like any other, but no folder twice: one that leads to a folder entered
  // already (a second link to it, a link back up) is left out without a row. Folders deeper than
  // kMaxFolderDepth are not entered but listed like any other object, with a WARN line.
  bool recursive = false;
  // Extensions without dot; when not empty, only files whose extension matches one of them,
  // ignoring case, are listed (folders and other objects are not filtered).
  std::vector<std::wstring> filter;
};

// Appends the objects of the shell folder `path` to `items`, in the shell's order: the desktop for
// an empty or blank path, "D:" read as "D:\", shell paths ("::{...}") as well as disk folders, the
// target of a shortcut to a folder. A disk folder too long for the shell (or one it cannot parse)
// is listed from its directory read, in the file system's order; any other path the shell cannot
// parse or bind lists nothing.
void EnumerateFolder(const std::wstring& path, const FolderEnumOptions& options, FileList& items);

}  // namespace zel::browse
