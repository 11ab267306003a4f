#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "browse/file_tools.h"

namespace zel::browse {

// Gives the items of one listed folder their sizes and times from a single directory read
// (FindFirstFileExW, basic information, large fetches), matched by the items' full parsing names,
// ignoring case.
//
// The listing notes each file-system item as it makes it and applies the read once the folder is
// listed. The folder read is the one that holds the first item noted; an item of another folder
// (the desktop merges several), a root, or an item whose name the read does not give keeps
// nothing, and opens its file when asked, as before. Entries that are reparse points are left out:
// the read describes the link, an open describes its target.
//
// Memory: 8 bytes per noted item; the read's entries are matched as they come and not kept.
class DirectoryFacts {
 public:
  using Items = std::vector<std::unique_ptr<CFileTools>>;

  DirectoryFacts() = default;
  DirectoryFacts(const DirectoryFacts&) = delete;
  DirectoryFacts& operator=(const DirectoryFacts&) = delete;

  // Notes that items[index] (whose path is `path`) wants the read's facts.
  void Note(size_t index, const std::wstring& path);
  // Reads the folder once and gives every noted item the read names its facts.
  void Apply(Items& items);

 private:
  struct Noted {
    uint32_t hash;   // of the upper-cased file name
    uint32_t index;  // into the items
  };

  std::wstring folder_;
  std::vector<Noted> noted_;
};

}  // namespace zel::browse
