#pragma once

#include <windows.h>
#include <comdef.h>
#include <shlobj.h>

#include <string>
#include <utility>

_COM_SMARTPTR_TYPEDEF(IShellFolder, __uuidof(IShellFolder));
_COM_SMARTPTR_TYPEDEF(IEnumIDList, __uuidof(IEnumIDList));
_COM_SMARTPTR_TYPEDEF(IMalloc, __uuidof(IMalloc));

namespace zel::browse {

// An item id list that the shell allocated, freed with the shell allocator.
class ShellIdList {
 public:
  explicit ShellIdList(IMalloc* allocator) noexcept : allocator_(allocator) {}
  ~ShellIdList() { Reset(); }
  ShellIdList(const ShellIdList&) = delete;
  ShellIdList& operator=(const ShellIdList&) = delete;

  void Reset() noexcept {
    if (list_ != nullptr && allocator_ != nullptr) allocator_->Free(list_);
    list_ = nullptr;
  }
  // For out-parameters: frees the held list and hands out the address to be filled.
  LPITEMIDLIST* Receive() noexcept {
    Reset();
    return &list_;
  }
  LPITEMIDLIST Get() const noexcept { return list_; }

 private:
  IMalloc* allocator_;
  LPITEMIDLIST list_ = nullptr;
};

// Names are read into buffers of 260 characters: a longer name is cut.
constexpr UINT kShellNameChars = MAX_PATH;

// The name of `item` (relative to `folder`) in the form `flags` asks for; empty on failure.
std::wstring DisplayNameOf(IShellFolder* folder, LPCITEMIDLIST item, SHGDNF flags);

}  // namespace zel::browse
