#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace zel::zip {

// Where a file or folder is on its volume: the volume's serial number and the file's index, the
// same for every path (link, junction, other spelling) that leads to it.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index_low = 0;
  uint64_t index_high = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index_low == other.index_low && index_high == other.index_high;
  }
  bool operator<(const FileIdentity& other) const {
    if (volume != other.volume) return volume < other.volume;
    if (index_high != other.index_high) return index_high < other.index_high;
    return index_low < other.index_low;
  }
};

// The identity of what `handle` is open on; false when the platform cannot tell.
bool IdentityOf(HANDLE handle, FileIdentity* identity);

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
