#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel::files {

// "GetFileInfo": input [path]; output [size as VT_I8]. 0, or -1 when the file's status cannot be
// read or the input is unusable.
LONG GetFileInfo(const VARIANT& input, VARIANT& output);

// "GetFile": input [path, offset, maximum] (offset and maximum optional, VT_I4/VT_UI4/VT_I8/VT_UI8,
// negative read as 0, maximum 0 meaning to the end); output the bytes read as a byte array.
// 0; 404 file not opened or its status unreadable; 8 range of 4 GiB or more, or no memory for it;
// -1 bad parameters or a failed read.
LONG GetFile(const VARIANT& input, VARIANT& output);

}  // namespace zel::files
