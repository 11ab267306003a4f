#include "browse/folder_enum.h"

#include <cwctype>

#include "browse/directory_facts.h"
#include "browse/shell_names.h"

namespace zel::browse {
namespace {

constexpr SFGAOF kKindAttributes = SFGAO_FILESYSTEM | SFGAO_FOLDER | SFGAO_HIDDEN | SFGAO_STREAM;

std::wstring Trimmed(const std::wstring& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && std::iswspace(text[first])) ++first;
  while (last > first && std::iswspace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

SFGAOF AttributesOf(IShellFolder* folder, LPCITEMIDLIST item, SFGAOF wanted) {
  SFGAOF attributes = wanted;
  if (FAILED(folder->GetAttributesOf(1, &item, &attributes))) return 0;
  return attributes & wanted;
}

// The folder `path` names in the shell namespace; null when it cannot be parsed or bound.
IShellFolderPtr BindFolder(const std::wstring& path, IMalloc* allocator) {
  IShellFolderPtr desktop;
  if (FAILED(::SHGetDesktopFolder(&desktop))) return nullptr;
  if (Trimmed(path).empty()) return desktop;
  std::wstring name = path;
  if (name.back() == L':') name += L'\\';
  ShellIdList location(allocator);
  ULONG eaten = 0;
  IShellFolderPtr folder;
  if (FAILED(desktop->ParseDisplayName(nullptr, nullptr, name.data(), &eaten, location.Receive(), nullptr)) ||
      location.Get() == nullptr ||
      FAILED(desktop->BindToObject(location.Get(), nullptr, IID_IShellFolder, reinterpret_cast<void**>(&folder)))) {
    return nullptr;
  }
  return folder;
}

bool MatchesFilter(const std::wstring& name, const std::vector<std::wstring>& filter) {
  const size_t dot = name.rfind(L'.');
  const std::wstring extension = dot != std::wstring::npos ? name.substr(dot + 1) : std::wstring();
  for (const std::wstring& wanted : filter) {
    if (_wcsicmp(wanted.c_str(), extension.c_str()) == 0) return true;
  }
  return false;
}

// Whether a recursive listing may enter the folder `name`: never a junction or symbolic link (a
// link back to an ancestor would list forever), never beyond the depth limit, never a name that
// filled the buffer (it may have been cut and name another folder).
bool MayEnter(const std::wstring& name, bool file_system, int depth) {
  if (depth >= kMaxFolderDepth || name.size() >= kShellNameChars - 1) return false;
  if (!file_system) return true;
  const DWORD attributes = ::GetFileAttributesW(name.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

void ListFolder(IShellFolder* folder, FileList& items, const FolderEnumOptions& options, int depth, IMalloc* allocator) {
  IEnumIDListPtr objects;
  const SHCONTF flags = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | (options.include_hidden ? SHCONTF_INCLUDEHIDDEN : 0);
  if (folder->EnumObjects(nullptr, flags, &objects) != S_OK || objects == nullptr) return;

  // Sizes and times of this folder's items, read once for all of them when the folder is listed.
  DirectoryFacts directory;
  for (;;) {
    ShellIdList object(allocator);
    if (objects->Next(1, object.Receive(), nullptr) != S_OK || object.Get() == nullptr) break;
    std::wstring title = DisplayNameOf(folder, object.Get(), SHGDN_INFOLDER);
    std::wstring name = DisplayNameOf(folder, object.Get(), SHGDN_FORPARSING);
    const SFGAOF kind = AttributesOf(folder, object.Get(), kKindAttributes);
    const bool file_system = (kind & SFGAO_FILESYSTEM) != 0;
    const bool file_system_folder = file_system && (kind & SFGAO_FOLDER) != 0 && (kind & SFGAO_STREAM) == 0;
    const bool file_system_file = file_system && !file_system_folder;

    if (options.recursive && (kind & SFGAO_FOLDER) != 0 && MayEnter(name, file_system, depth)) {
      // Bound from its parent, not parsed again from the desktop: the same folder as its parsing
      // name gives, without walking the whole path once per level.
      IShellFolderPtr child;
      if (SUCCEEDED(folder->BindToObject(object.Get(), nullptr, IID_IShellFolder, reinterpret_cast<void**>(&child))) &&
          child != nullptr) {
        ListFolder(child, items, options, depth + 1, allocator);
      }
      continue;
    }
    if ((!file_system && !options.include_non_file_system) || ((kind & SFGAO_HIDDEN) && !options.include_hidden) ||
        (file_system_folder && !options.include_folders) || (file_system_file && !options.include_files)) {
      continue;
    }
    if (!options.filter.empty() && file_system_file && !MatchesFilter(name, options.filter)) continue;

    auto item = std::make_unique<CFileTools>(name, std::move(title));
    item->SetVirtual(name.compare(0, 3, L"::{") == 0 || name.size() <= 3);
    const SFGAOF place = AttributesOf(folder, object.Get(), SFGAO_FOLDER | SFGAO_REMOVABLE);
    if (place & SFGAO_FOLDER) {
      if (place & SFGAO_REMOVABLE) {
        item->SetRemovable(true);
        item->SetBrowsable(true);
      } else if (AttributesOf(folder, object.Get(), SFGAO_HASSUBFOLDER) != 0) {
        item->SetBrowsable(true);
      }
    }
    if (file_system) directory.Note(items.size(), item->Path());
    items.push_back(std::move(item));
  }
  directory.Apply(items);
}

}  // namespace

void EnumerateFolder(const std::wstring& path, const FolderEnumOptions& options, FileList& items) {
  IMallocPtr allocator;
  if (FAILED(::SHGetMalloc(&allocator))) return;
  IShellFolderPtr folder = BindFolder(path, allocator);
  if (folder != nullptr) ListFolder(folder, items, options, 0, allocator);
}

}  // namespace zel::browse
