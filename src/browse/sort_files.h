#pragma once

#include <string>

#include "browse/folder_enum.h"

namespace zel::browse {

// Orders `items` in place by the sort key `sort`: "title", "path" (the same as title),
// "path.extension", "size", "creationDate", "lastModified" or "lastAccessTime", followed by ":asc"
// or ":desc" (exact, case-sensitive). Folders come before everything else in both directions; text
// keys ignore case. Only the first key of a comma list counts. Each item's key is read once before
// sorting, so that folders, whose times are the time of reading, still sort consistently. Items
// with equal keys end in no particular order. Returns false when the key is not one of the 14
// (the list is then sorted by "title:asc").
bool SortFiles(FileList& items, const std::wstring& sort);

}  // namespace zel::browse
