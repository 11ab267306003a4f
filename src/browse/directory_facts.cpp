#include "browse/directory_facts.h"

#include <algorithm>
#include <cwctype>

#include "common/unique_handle.h"

namespace zel::browse {
namespace {

bool SameText(const wchar_t* a, size_t a_length, const wchar_t* b, size_t b_length) {
  // The file system's own rule: ordinal, ignoring case.
  return ::CompareStringOrdinal(a, static_cast<int>(a_length), b, static_cast<int>(b_length), TRUE) == CSTR_EQUAL;
}

// FNV-1a over the upper-cased name. Equal hashes are compared in full; names the comparison calls
// equal but this folds apart only miss, and their items open their files.
uint32_t NameHash(const wchar_t* name, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    hash ^= static_cast<uint16_t>(std::towupper(name[i]));
    hash *= 16777619u;
  }
  return hash;
}

// The position of the last backslash when `path` names an entry of a folder (not a root, not a
// bare name); npos otherwise.
size_t FolderEnd(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos || slash == 0 || slash + 1 >= path.size() ? std::wstring::npos : slash;
}

}  // namespace

void DirectoryFacts::Note(size_t index, const std::wstring& path) {
  const size_t slash = FolderEnd(path);
  if (slash == std::wstring::npos || index != static_cast<uint32_t>(index)) return;
  if (folder_.empty()) {
    folder_ = path.substr(0, slash);
  } else if (!SameText(folder_.data(), folder_.size(), path.data(), slash)) {
    return;
  }
  noted_.push_back(Noted{NameHash(path.data() + slash + 1, path.size() - slash - 1), static_cast<uint32_t>(index)});
}

void DirectoryFacts::Apply(Items& items) {
  if (noted_.empty()) return;
  std::sort(noted_.begin(), noted_.end(), [](const Noted& a, const Noted& b) { return a.hash < b.hash; });
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileExW((folder_ + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    const size_t length = std::wcslen(data.cFileName);
    const uint32_t hash = NameHash(data.cFileName, length);
    auto at = std::lower_bound(noted_.begin(), noted_.end(), hash, [](const Noted& n, uint32_t h) { return n.hash < h; });
    for (; at != noted_.end() && at->hash == hash; ++at) {
      CFileTools& item = *items[at->index];
      const std::wstring& path = item.Path();
      if (SameText(path.data() + folder_.size() + 1, path.size() - folder_.size() - 1, data.cFileName, length)) {
        item.SetFacts(FactsOf(data), (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
      }
    }
  } while (::FindNextFileW(find.Get(), &data));
}

}  // namespace zel::browse
