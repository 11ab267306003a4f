#include "browse/folder_enum.h"

#include <cwctype>

#include "browse/directory_facts.h"
#include "browse/folder_walk.h"
#include "browse/shell_names.h"

namespace zel::browse {
namespace {

constexpr SFGAOF kKindAttributes = SFGAO_FILESYSTEM | SFGAO_FOLDER | SFGAO_HIDDEN | SFGAO_STREAM;
// The longest folder path the shell is given: a folder must leave room for the names in it within
// MAX_PATH (the platform's own rule for directories). Longer ones are read directly.
constexpr size_t kShellFolderChars = MAX_PATH - 12;

std::wstring Trimmed(const std::wstring& text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && std::iswspace(text[first])) ++first;
  while (last > first && std::iswspace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// A drive or share path: the folder's own path, from which the names in it can be made whole.
bool IsDiskPath(const std::wstring& path) {
  return (path.size() >= 2 && std::iswalpha(path[0]) && path[1] == L':') || path.compare(0, 2, L"\\\\") == 0;
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

// `folder_path`: the folder's disk path, empty for a shell folder (the desktop merges several).
void ListFolder(IShellFolder* folder, const std::wstring& folder_path, FolderWalk& walk, int depth, IMalloc* allocator) {
  const FolderEnumOptions& options = walk.Options();
  IEnumIDListPtr objects;
  const SHCONTF flags = SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | (options.include_hidden ? SHCONTF_INCLUDEHIDDEN : 0);
  if (folder->EnumObjects(nullptr, flags, &objects) != S_OK || objects == nullptr) return;

  // Sizes and times of this folder's items, read once for all of them when the folder is listed.
  DirectoryFacts directory;
  FileList& items = walk.Items();
  for (;;) {
    ShellIdList object(allocator);
    if (objects->Next(1, object.Receive(), nullptr) != S_OK || object.Get() == nullptr) break;
    std::wstring title = DisplayNameOf(folder, object.Get(), SHGDN_INFOLDER);
    std::wstring name = DisplayNameOf(folder, object.Get(), SHGDN_FORPARSING);
    const SFGAOF kind = AttributesOf(folder, object.Get(), kKindAttributes);
    const bool file_system = (kind & SFGAO_FILESYSTEM) != 0;
    const bool file_system_folder = file_system && (kind & SFGAO_FOLDER) != 0 && (kind & SFGAO_STREAM) == 0;
    const bool file_system_file = file_system && !file_system_folder;
    const bool cut = name.size() >= kShellNameChars - 1;
    // A name that filled the buffer may have been cut; the folder's path and the name within it
    // are whole.
    if (cut && file_system && !folder_path.empty()) {
      name = JoinPath(folder_path, DisplayNameOf(folder, object.Get(), SHGDN_INFOLDER | SHGDN_FORPARSING));
    }

    if (options.recursive && (kind & SFGAO_FOLDER) != 0) {
      FolderWalk::Step step = FolderWalk::Step::kList;
      if (file_system && (!cut || !folder_path.empty())) {
        step = walk.Decide(name, depth);
      } else if (!file_system && !cut && depth < kMaxFolderDepth) {
        step = FolderWalk::Step::kEnter;  // shell folders have no identity; the depth limit bounds them
      }
      if (step == FolderWalk::Step::kSkip) continue;
      if (step == FolderWalk::Step::kEnter) {
        if (file_system && name.size() > kShellFolderChars) {
          ListDirectory(name, walk, depth + 1);
          continue;
        }
        // Bound from its parent, not parsed again from the desktop: the same folder as its parsing
        // name gives, without walking the whole path once per level.
        IShellFolderPtr child;
        if (SUCCEEDED(folder->BindToObject(object.Get(), nullptr, IID_IShellFolder, reinterpret_cast<void**>(&child))) &&
            child != nullptr) {
          ListFolder(child, file_system ? name : std::wstring(), walk, depth + 1, allocator);
        }
        continue;
      }
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
  FolderWalk walk(options, items);
  std::wstring target = path;
  // A shortcut to a folder browses into the folder.
  if (CFileTools shortcut(path); shortcut.IsShortcut() && shortcut.IsFolder()) target = ResolveShortcut(path);
  const bool disk = IsDiskPath(target);
  if (disk && options.recursive) walk.NoteTop(target);
  if (disk && target.size() > kShellFolderChars) {
    ListDirectory(target, walk, 0);
    return;
  }
  IMallocPtr allocator;
  if (FAILED(::SHGetMalloc(&allocator))) return;
  IShellFolderPtr folder = BindFolder(target, allocator);
  if (folder != nullptr) {
    ListFolder(folder, disk ? target : std::wstring(), walk, 0, allocator);
  } else if (disk && CFileTools(target).IsFolder()) {
    ListDirectory(target, walk, 0);  // a folder the shell cannot parse
  }
}

}  // namespace zel::browse
