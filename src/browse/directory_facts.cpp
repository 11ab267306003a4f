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

// FNV-1a over the upper-cased name. Names the comparison calls equal but this folds apart only miss
// the index, and their items open their files.
uint64_t NameHash(const wchar_t* name, size_t length) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    hash ^= static_cast<uint16_t>(std::towupper(name[i]));
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

void DirectoryFacts::Read(const std::wstring& folder) {
  read_ = true;
  folder_ = folder;
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                     FIND_FIRST_EX_LARGE_FETCH));
  if (!find) return;
  do {
    const size_t length = std::wcslen(data.cFileName);
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (length == 1 && data.cFileName[0] == L'.') ||
        (length == 2 && data.cFileName[0] == L'.' && data.cFileName[1] == L'.')) {
      continue;
    }
    entries_.push_back(Entry{static_cast<uint32_t>(names_.size()), static_cast<uint32_t>(length), FactsOf(data)});
    names_.append(data.cFileName, length);
  } while (::FindNextFileW(find.Get(), &data));
}

bool DirectoryFacts::NameIs(const Entry& entry, const wchar_t* name, size_t length) const {
  return SameText(names_.data() + entry.name_at, entry.name_length, name, length);
}

const FileFacts* DirectoryFacts::Lookup(const wchar_t* name, size_t length) {
  if (next_ < entries_.size() && NameIs(entries_[next_], name, length)) return &entries_[next_++].facts;
  if (index_.empty() && !entries_.empty()) {
    index_.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry& entry = entries_[i];
      index_.push_back(Keyed{NameHash(names_.data() + entry.name_at, entry.name_length), static_cast<uint32_t>(i)});
    }
    std::sort(index_.begin(), index_.end(), [](const Keyed& a, const Keyed& b) { return a.hash < b.hash; });
  }
  const uint64_t hash = NameHash(name, length);
  auto at = std::lower_bound(index_.begin(), index_.end(), hash, [](const Keyed& k, uint64_t h) { return k.hash < h; });
  for (; at != index_.end() && at->hash == hash; ++at) {
    if (NameIs(entries_[at->entry], name, length)) {
      next_ = at->entry + 1;
      return &entries_[at->entry].facts;
    }
  }
  return nullptr;
}

const FileFacts* DirectoryFacts::Find(const std::wstring& path) {
  const size_t slash = path.rfind(L'\\');
  // A root (D:\) or a name without a folder part is no entry of a directory.
  if (slash == std::wstring::npos || slash == 0 || slash + 1 >= path.size()) return nullptr;
  if (!read_) {
    Read(path.substr(0, slash));
  } else if (!SameText(folder_.data(), folder_.size(), path.data(), slash)) {
    return nullptr;
  }
  return Lookup(path.data() + slash + 1, path.size() - slash - 1);
}

}  // namespace zel::browse
