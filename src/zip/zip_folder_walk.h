#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace zel::zip {

// Where a file or folder is: its volume's serial number and its index on that volume, the same for
// every path (link, junction, other spelling) that leads to it.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  bool operator==(const FileIdentity& other) const { return volume == other.volume && index == other.index; }
  bool operator<(const FileIdentity& other) const {
    return volume != other.volume ? volume < other.volume : index < other.index;
  }
};

// The index of what `handle` is open on, asked of the open file alone (FileInternalInformation):
// GetFileInformationByHandle and FileIdInfo also look the volume up, which costs milliseconds per
// call under Wine. False when the platform cannot tell.
bool FileIndexOf(HANDLE handle, uint64_t* index);

// The identity of what `handle` is open on (a folder, or a single file); false when the platform
// cannot tell.
bool IdentityOf(HANDLE handle, FileIdentity* identity);

// The identities of many files, the volume looked up once per folder they are in: files listed in
// one folder share its volume.
class FileIdentities {
 public:
  // The identity of `file`, open on `path`.
  bool Of(const std::wstring& path, HANDLE file, FileIdentity* identity);

 private:
  std::map<std::wstring, uint64_t> volumes_;  // by the folder part of a path, as given
};

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
