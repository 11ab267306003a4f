#include "browse/sort_files.h"

#include <algorithm>

namespace zel::browse {
namespace {

enum class KeyKind { kTitle, kExtension, kSize, kCreated, kWritten, kAccessed };

struct SortKey {
  const wchar_t* name;
  KeyKind kind;
  bool descending;
};

constexpr SortKey kSortKeys[] = {
    {L"title:asc", KeyKind::kTitle, false},           {L"path:asc", KeyKind::kTitle, false},
    {L"title:desc", KeyKind::kTitle, true},           {L"path:desc", KeyKind::kTitle, true},
    {L"path.extension:asc", KeyKind::kExtension, false}, {L"path.extension:desc", KeyKind::kExtension, true},
    {L"size:asc", KeyKind::kSize, false},             {L"size:desc", KeyKind::kSize, true},
    {L"creationDate:asc", KeyKind::kCreated, false},  {L"creationDate:desc", KeyKind::kCreated, true},
    {L"lastModified:asc", KeyKind::kWritten, false},  {L"lastModified:desc", KeyKind::kWritten, true},
    {L"lastAccessTime:asc", KeyKind::kAccessed, false}, {L"lastAccessTime:desc", KeyKind::kAccessed, true},
};

struct Keyed {
  std::unique_ptr<CFileTools> item;
  bool folder;
  std::wstring text;
  LONGLONG number;
};

void ReadKey(Keyed& entry, KeyKind kind) {
  CFileTools& item = *entry.item;
  entry.folder = item.IsFolder();
  switch (kind) {
    case KeyKind::kTitle:
      entry.text = item.Title();
      break;
    case KeyKind::kExtension:
      entry.text = item.Extension();
      break;
    case KeyKind::kSize:
      entry.number = item.Size();
      break;
    case KeyKind::kCreated:
      entry.number = item.CreationTime();
      break;
    case KeyKind::kWritten:
      entry.number = item.LastWriteTime();
      break;
    case KeyKind::kAccessed:
      entry.number = item.LastAccessTime();
      break;
  }
}

}  // namespace

bool SortFiles(FileList& items, const std::wstring& sort) {
  std::wstring wanted = sort;
  const size_t comma = wanted.find(L',');
  if (comma != std::wstring::npos && comma >= 1) wanted.resize(comma);
  const SortKey* key = &kSortKeys[0];
  bool known = false;
  for (const SortKey& candidate : kSortKeys) {
    if (wanted == candidate.name) {
      key = &candidate;
      known = true;
      break;
    }
  }

  std::vector<Keyed> entries;
  entries.reserve(items.size());
  for (std::unique_ptr<CFileTools>& item : items) {
    entries.push_back(Keyed{std::move(item), false, std::wstring(), 0});
    ReadKey(entries.back(), key->kind);
  }
  const bool text = key->kind == KeyKind::kTitle || key->kind == KeyKind::kExtension;
  const bool descending = key->descending;
  std::sort(entries.begin(), entries.end(), [text, descending](const Keyed& a, const Keyed& b) {
    if (a.folder != b.folder) return a.folder;
    if (text) {
      const int order = _wcsicmp(a.text.c_str(), b.text.c_str());
      return descending ? order > 0 : order < 0;
    }
    return descending ? a.number > b.number : a.number < b.number;
  });
  for (size_t i = 0; i < entries.size(); ++i) items[i] = std::move(entries[i].item);
  return known;
}

}  // namespace zel::browse
