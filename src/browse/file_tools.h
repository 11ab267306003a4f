#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

namespace zel::browse {

class SharedExtensionMap;

// Size and times of a file or folder. Times are seconds since 1970-01-01 00:00 UTC.
struct FileFacts {
  LONGLONG size;
  __time64_t created;
  __time64_t written;
  __time64_t accessed;
};

// What a directory read (FindFirstFileExW) says of one entry: full 64-bit size, all three times;
// a folder's size is 0.
FileFacts FactsOf(const WIN32_FIND_DATAW& data);

// One entry of a folder listing: a file-system path or a shell parsing name
// ("::{20D04FE0-3AEA-1069-A2D8-08002B30309D}"), answering named text properties.
//
// Size and times come, where the listing can give them, from the one directory read it makes per
// folder (SetFacts): a listing of a network share must not cost one round trip per file, and an
// entry of the directory has a size and times even while another process holds the file locked.
// Items without them (a single file asked for by path, entries the read did not see) open the file
// once (CreateFileW, read and write sharing) on first need. What that open read is kept and the
// handle is closed at once: a listing of 100,000 files must not hold 100,000 handles (a process
// runs out of descriptors long before, and a held handle would keep others from deleting a listed
// file). A failed open (a folder, a device, a file that vanished or that another process locked)
// keeps nothing, is tried again at the next need, and leaves the fallbacks: size 0 and the current
// time. Title and medium id are computed once.
//
// An item is used by one request (one thread) at a time.
class CFileTools {
 public:
  explicit CFileTools(std::wstring path);
  // `title`: the shell's display name, answered as "title" even where it differs from the file
  // name (the shell may hide extensions).
  CFileTools(std::wstring path, std::wstring title);
  virtual ~CFileTools() = default;
  CFileTools(const CFileTools&) = delete;
  CFileTools& operator=(const CFileTools&) = delete;

  const std::wstring& Path() const noexcept { return path_; }
  // The display name given at creation; otherwise the text after the last backslash (when that
  // backslash is at index 1 or later), else the whole path.
  const std::wstring& Title();
  // The text after the last "." when that "." is at index 1 or later, else the whole path.
  std::wstring Extension() const;
  // The full path of the folder holding the item: D:\Music for D:\Music\a.mp3, D:\ for D:\a.mp3,
  // empty when the path has no folder part.
  std::wstring Directory() const;
  // "F*" + the path, with "\" written "|", blank "*", "." ">" and "+" "<".
  const std::wstring& MediumId();
  // "audio.file", "video.file", "photo.file", "document.file" by the lower-cased extension in
  // `types`, else "file".
  std::wstring MediaType(const SharedExtensionMap& types) const;

  bool IsShortcut() const;
  // A shell object ("::{"), a shortcut to a folder, a browsable item, a root or a directory. Asked
  // once and kept: sorting, counting and the "type" column all ask it.
  bool IsFolder();
  bool Exists() const;

  LONGLONG Size();
  // Seconds since 1970-01-01 00:00 UTC; the current time when the file cannot be read.
  __time64_t CreationTime();
  __time64_t LastWriteTime();
  __time64_t LastAccessTime();

  // The value of property `name` (compared exactly); empty for a name outside the table.
  std::wstring GetProperty(const std::wstring& name, const SharedExtensionMap& types);

  // Flags set by the enumeration.
  void SetVirtual(bool value) noexcept { virtual_ = value; }
  void SetBrowsable(bool value) noexcept {
    browsable_ = value;
    is_folder_.reset();
  }
  void SetRemovable(bool value) noexcept { removable_ = value; }
  // Size and times as the listing's directory read gave them, and whether the entry is a directory;
  // no open of the file follows. Call after SetBrowsable.
  void SetFacts(const FileFacts& facts, bool directory);
  bool IsVirtual() const noexcept { return virtual_; }
  bool IsBrowsable() const noexcept { return browsable_; }
  bool IsRemovable() const noexcept { return removable_; }

 private:
  // Opens the file once and keeps what it read; null (nothing kept) when it cannot be read.
  const FileFacts* Facts();

  std::wstring path_;
  std::wstring title_;
  // Few listings ask for it: an empty string in each of 100,000 items would cost 3 MB.
  std::unique_ptr<std::wstring> medium_id_;
  std::optional<FileFacts> facts_;
  std::optional<bool> is_folder_;
  bool virtual_ = false;
  bool browsable_ = false;
  bool removable_ = false;
};

// The target of the shortcut at `path` through the shell's link object (IShellLinkW,
// IPersistFile); `path` itself when any step fails. Needs COM on the calling thread.
std::wstring ResolveShortcut(const std::wstring& path);

// The first character of every local medium id.
constexpr wchar_t kLocalMediumPrefix[] = L"F";

// Local medium ids: "F*" followed by the path with "\" written "|", blank "*", "." ">" and "+" "<".
// None of the four written characters can occur in a Windows file name, so decoding gives back
// every valid path unchanged.
std::wstring EncodeLocalMediumId(const std::wstring& path);
// The path inside `id` from index `prefix_length` + 1 on, decoded.
std::wstring DecodeLocalMediumPath(const std::wstring& id, size_t prefix_length);

}  // namespace zel::browse
