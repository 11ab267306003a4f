#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "browse/folder_enum.h"

namespace browsetest {

// Creates `relative` (and its parents) under `root`; names ending in "\" are folders, the others
// files holding `bytes`, at any depth. Returns the full path.
std::wstring Make(const std::wstring& root, const std::wstring& relative, const std::string& bytes = "");

// Sets the write time of `path` and both its creation and access times to `other`.
bool SetTimes(const std::wstring& path, const SYSTEMTIME& written, const SYSTEMTIME& other);

// Writes a shortcut at `link` pointing to `target` through the shell's link object.
bool MakeShortcut(const std::wstring& link, const std::wstring& target);

// Makes `link` a symbolic link to the folder `target`: the platform's own call where it works,
// otherwise, under Wine, a Unix symbolic link. False when neither works here.
bool MakeFolderLink(const std::wstring& link, const std::wstring& target);

// "ZidAvaraV2" answers "GetExtensions" for requests that pass "req": audio and video both list
// .ogg, photo and document both list .pdf (the later type wins).
extern const char* const kExtensionScript;

}  // namespace browsetest
