#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "browse/file_tools.h"

namespace zel::browse {

// Sizes and times of the entries of one file-system folder, from a single directory read
// (FindFirstFileExW, basic information, large fetches), looked up by the items' full parsing names.
//
// A listing makes one per folder it lists. The folder read is the one that holds the first item
// asked for; an item of another folder (the desktop merges several), a root, a shell object or a
// name the read did not see finds nothing, and the item then opens its file as before. Entries that
// are reparse points are left out: the read describes the link, an open describes its target.
//
// Memory: the names lie back to back in one buffer, so an entry costs its name and about 50 bytes;
// the listing drops the object once its folder is listed.
class DirectoryFacts {
 public:
  DirectoryFacts() = default;
  DirectoryFacts(const DirectoryFacts&) = delete;
  DirectoryFacts& operator=(const DirectoryFacts&) = delete;

  // The facts of the entry that `path` names; null when the read has none for it. The first call
  // with a path that has a folder part makes the read.
  const FileFacts* Find(const std::wstring& path);

 private:
  struct Entry {
    uint32_t name_at;
    uint32_t name_length;
    FileFacts facts;
  };
  struct Keyed {
    uint64_t hash;
    uint32_t entry;
  };

  void Read(const std::wstring& folder);
  bool NameIs(const Entry& entry, const wchar_t* name, size_t length) const;
  const FileFacts* Lookup(const wchar_t* name, size_t length);

  bool read_ = false;
  std::wstring folder_;
  std::wstring names_;
  std::vector<Entry> entries_;  // in the order of the read
  std::vector<Keyed> index_;    // by the hash of the upper-cased name; made at the first miss
  size_t next_ = 0;             // the shell tends to list in the order of the read
};

}  // namespace zel::browse
