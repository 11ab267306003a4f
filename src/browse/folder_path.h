#pragma once

#include <string>

namespace zel::browse {

// The shell path of My Computer, which the token %MYCOMPUTER% stands for.
constexpr wchar_t kMyComputerPath[] = L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";

// Expands the virtual folder token of a requested path: the first "%NAME%" pair only, NAME
// compared after upper-casing ("MYMUSIC", "COMMON_VIDEO", "DRIVES", ...), or a path that begins
// with "%CSIDL_<number>%". The token is replaced by the folder's parsing name, keeping the text
// around it; a folder the shell cannot locate leaves the path unchanged. "%MYCOMPUTER%" replaces the
// whole path by kMyComputerPath. A path without such a token comes back unchanged.
std::wstring ResolveFolderPath(const std::wstring& path);

// The shell's parsing name of the special folder `csidl`; empty when the shell cannot locate it.
std::wstring SpecialFolderLocation(int csidl);

}  // namespace zel::browse
