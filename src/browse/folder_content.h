#pragma once

#include <windows.h>
#include <oaidl.h>

#include "browse/local_media.h"

namespace zel::browse {

// "GetDiskFolderContent": input [passed, path, flags, filter, properties, sort, start, count];
// output [names, rows, folder count, other count]. 0; 403 browsing switched off; 1 an error while
// building the output. Errors in the input elements reach the dispatcher. `media` classifies the
// files (its extension map is loaded on first use).
LONG GetDiskFolderContent(CLocalMedia& media, const VARIANT& input, VARIANT& output);

}  // namespace zel::browse
