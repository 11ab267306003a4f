#pragma once

#include <string>

namespace zel::zip {

// The temporary folder (GetTempPathW), with its trailing backslash.
std::wstring TemporaryFolder();

// Creates an empty file with a new unique name "ZuvO....tmp" in the temporary folder
// (GetTempFileNameW) for an archive to replace. False when no name could be made.
bool MakeTemporaryArchiveName(std::wstring* path);

// The module's data folder: the all-users application-data folder (created if missing) with
// "RodEzeduduv" appended. False when the shell cannot give it.
bool ModuleDataFolder(std::wstring* folder);

// `path` made absolute and free of "." and ".." (GetFullPathNameW), short names expanded where the
// path exists. Empty when the path cannot be resolved.
std::wstring CanonicalPath(const std::wstring& path);

// Whether `path` lies strictly inside `folder` once both are canonical (compared without regard
// to case). A path that merely contains the folder's text does not count.
bool IsInsideFolder(const std::wstring& path, const std::wstring& folder);

// Whether `name` can only name something under the folder it is appended to: relative, no drive
// or stream (":"), no ".." component, no leading separator.
bool IsContainedRelativePath(const std::wstring& name);

}  // namespace zel::zip
