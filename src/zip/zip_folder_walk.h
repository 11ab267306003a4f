#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "common/file_identity.h"

namespace zel::zip {

// What a walk meets: a file (with what the listing says of it), or a folder it does not enter.
struct FolderWalkVisitor {
  std::function<void(const std::wstring& path, const WIN32_FIND_DATAW& found)> file;
  std::function<void(const std::wstring& path, const wchar_t* why)> skipped_folder;
};

// Visits every file under `folder` at any depth, in the order the file system lists them. Linked
// folders (junctions, symbolic links) are entered, each folder once however many paths lead to
// it (known by its identity, so a link back up cannot make the walk endless), and only when it
// lies inside `folder` once links are followed. False when `folder` itself cannot be listed.
bool WalkFolder(const std::wstring& folder, const FolderWalkVisitor& visit);

}  // namespace zel::zip
