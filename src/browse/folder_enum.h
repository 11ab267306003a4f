#pragma once

#include <memory>
#include <string>
#include <vector>

#include "browse/file_tools.h"

namespace zel {

// A folder listing: the items belong to the list.
using FileList = std::vector<std::unique_ptr<CFileTools>>;

// Recursive listings enter folders down to this many levels below the listed folder.
constexpr int kMaxFolderDepth = 64;

// Appends the objects of the shell folder `path` to `items`, in the shell's order: the desktop for
// an empty or blank path, "D:" read as "D:\", shell paths ("::{...}") as well as disk folders.
//   include_hidden: hidden objects are enumerated and listed;
//   include_folders / include_files: file-system folders / files are listed;
//   include_non_file_system: objects without the file-system attribute (drives' parents, network
//     places) are listed;
//   filter: extensions without dot; when not empty, only files whose extension matches one of
//     them, ignoring case, are listed (folders and other objects are not filtered);
//   recursive: a folder met is replaced by its contents, depth first. Folders that are reparse
//     points (junctions, symbolic links), folders deeper than kMaxFolderDepth and folders whose
//     name had to be cut are not entered: they are listed like any other object.
// A path the shell cannot parse or bind lists nothing.
void EnumerateFolder(const std::wstring& path, FileList& items, bool include_hidden, bool include_folders,
                     bool include_files, bool include_non_file_system, std::vector<std::wstring> filter,
                     bool recursive);

}  // namespace zel
