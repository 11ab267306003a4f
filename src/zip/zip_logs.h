#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel::zip {

// "ZipLogs": a deflated archive, in the temporary folder, of every file under the module's data
// folder, or under one of its sub-folders when the input is a VT_BSTR naming it (any other input
// means the data folder itself). Built at once on the request's thread; output [archive path
// (VT_BSTR), archive size (VT_I4)]. Files that cannot be opened are left out, and so are empty
// ones (the writer takes no empty memory block).
// 0; 1 data folder unknown; 2 archive not found; 8 a file too large to hold in memory (the
// unfinished archive is closed and deleted); 403 a sub-folder that would leave the data folder
// ("..", absolute paths, drive letters), nothing archived; -1 unusable input.
LONG ZipLogs(const VARIANT& input, VARIANT& output);

}  // namespace zel::zip
