#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace zel {

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

// The identity of the file or folder at `path`, links followed to what they lead to; none when it
// cannot be opened.
std::optional<FileIdentity> IdentityOf(const std::wstring& path);

// The identities of many files, the volume looked up once per folder they are in: files listed in
// one folder share its volume.
class FileIdentities {
 public:
  // The identity of `file`, open on `path`.
  bool Of(const std::wstring& path, HANDLE file, FileIdentity* identity);

 private:
  std::map<std::wstring, uint64_t> volumes_;  // by the folder part of a path, as given
};

}  // namespace zel
