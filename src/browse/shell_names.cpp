#include "browse/shell_names.h"

#include <shlwapi.h>

namespace zel::browse {

std::wstring DisplayNameOf(IShellFolder* folder, LPCITEMIDLIST item, SHGDNF flags) {
  STRRET name{};
  wchar_t buffer[kShellNameChars] = L"";
  if (FAILED(folder->GetDisplayNameOf(item, flags, &name))) return std::wstring();
  // StrRetToBufW frees a string the shell allocated in `name`, also when it has to cut it.
  if (FAILED(::StrRetToBufW(&name, item, buffer, kShellNameChars))) return std::wstring();
  return buffer;
}

}  // namespace zel::browse
