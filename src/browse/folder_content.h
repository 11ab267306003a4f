#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "browse/local_media.h"

namespace zel::browse {

// "GetDiskFolderContent" answers 403 while browsing is switched off, before its input is read:
// only the exact text "false" of the configuration value "app.fileBrowser.enabled" does that.
bool BrowsingSwitchedOff();

// Input [passed, path, flags, filter, properties, sort, start, count]: six strings (VT_EMPTY reads
// as "") but the flags, a number; start and count optional (missing or VT_EMPTY: 0). A number is
// any value that converts exactly to a 32-bit integer, as script engines send numbers (doubles,
// 64-bit integers, decimals, numeric strings). A missing or mistyped element raises
// WideError::Input naming it.
struct FolderRequest {
  std::wstring passed;
  std::wstring path;
  LONG flags = 0;
  std::wstring filter;      // comma-separated
  std::wstring properties;  // comma-separated column names
  std::wstring sort;
  LONG start = 0;
  LONG count = 0;
};
FolderRequest DecodeFolderRequest(const VARIANT& input);

// Output [names, rows, folder count, other count]. 0, or (by its row) 1 for bad input or an error
// while building the output. `media` classifies the files (its extension map is loaded on first
// use).
LONG GetDiskFolderContent(CLocalMedia& media, const FolderRequest& request, VARIANT& output);

}  // namespace zel::browse
