#pragma once

#include <string>

namespace zel::browse {

// The shell path of My Computer, which the token %MYCOMPUTER% stands for.
constexpr wchar_t kMyComputerPath[] = L"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";

// Expands the virtual folder token of a requested path: the first "%NAME%" pair only, NAME
// compared after upper-casing ("MYMUSIC", "COMMON_VIDEO", "DRIVES", ...), or a path that begins
// with "%CSIDL_<number>%". The token is replaced by the folder's parsing name, keeping the text
// around it; a folder the shell cannot locate leaves the path unchanged. "%MYCOMPUTER%" replaces the
// whole path by kMyComputerPath. The result is then normalised (NormalizeFolderPath); a path
// without a token and in its normal spelling comes back unchanged.
std::wstring ResolveFolderPath(const std::wstring& path);

// A drive or share path in the one spelling the shell parses: leading blanks dropped, "/" read as
// "\", doubled backslashes and "." segments dropped, ".." taking back one segment but never above
// the drive's root or the share, a trailing backslash dropped (a drive root keeps it: "D:" is
// "D:\"). The extended forms "\\?\D:\..." and "\\?\UNC\server\share\..." come back in the
// ordinary form. Other paths (shell paths "::{...}", relative ones, devices) only lose their
// leading blanks.
std::wstring NormalizeFolderPath(const std::wstring& path);

// The shell's parsing name of the special folder `csidl`; empty when the shell cannot locate it.
std::wstring SpecialFolderLocation(int csidl);

}  // namespace zel::browse
