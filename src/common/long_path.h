#pragma once

#include <string>

namespace zel {

// Paths of MAX_PATH characters and more reach the file system only in the extended form
// "\\?\D:\..." ("\\?\UNC\server\share\..." for a share), which the platform passes on as it is:
// no "." or ".." segments, no forward slashes. Names, ids and answers keep the ordinary form;
// these give the form to hand to the file functions.

// The extended form of an absolute drive or share path, normalised by the platform first (slashes,
// "." and ".." segments); a path already in that form, and any other path, unchanged.
std::wstring ExtendedLengthPath(const std::wstring& path);

// `path` itself while it is shorter than MAX_PATH, else its extended form.
std::wstring FileSystemPath(const std::wstring& path);

}  // namespace zel
