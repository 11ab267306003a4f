#pragma once

#include <windows.h>

#include <string>

#include "common/unique_handle.h"

namespace zel::zip {

// The longest path a client may hand the zip services. Every archive the module makes is named
// inside a MAX_PATH buffer, and so is every folder it archives; a longer path names nothing of
// ours and is refused before any platform path function sees it (some of them fault or spin on
// paths of a few thousand characters).
constexpr size_t kMaxClientPath = MAX_PATH - 1;

// Whether a client's path is short enough to look at and holds no NUL (which would make the
// platform see a different, shorter path than the one checked).
bool IsBoundedClientPath(const std::wstring& path);

// The temporary folder (GetTempPathW), with its trailing backslash.
std::wstring TemporaryFolder();

// Whether `name` (a bare file name) is one the module gives its archives: "Zuv", one to four hex
// digits, ".tmp" (the names GetTempFileNameW makes from the prefix "ZuvO"), in any case.
bool IsArchiveFileName(const std::wstring& name);

// Creates a new archive file "Zuv....tmp" in the temporary folder, never over an existing file
// (CREATE_NEW), opened for writing and shared for reading only. False when none could be made (every
// name taken, or the folder not writable); `path` and `file` are then left empty.
bool CreateTemporaryArchive(std::wstring* path, UniqueFile* file);

// The path of what `handle` is open on, after every link and junction on the way (the file
// system's own answer, GetFinalPathNameByHandleW), in drive-letter form without the "\\?\" prefix.
// Empty when the platform cannot tell.
std::wstring FinalPathOf(HANDLE handle);

// The final path of an existing folder (links resolved); empty when it cannot be opened.
std::wstring FinalFolderPath(const std::wstring& folder);

// Whether the final path `inner` lies strictly inside the final path `outer` (compared as the file
// system compares names). Pure text: both must come from FinalPathOf.
bool IsFinalPathInside(const std::wstring& inner, const std::wstring& outer);

// Whether `name` can only name something under the folder it is appended to with PathAppendW, which
// drops leading backslashes: no drive or stream (":"), no ".." component, no network path ("\\"),
// no leading "/".
bool IsContainedRelativePath(const std::wstring& name);

}  // namespace zel::zip
