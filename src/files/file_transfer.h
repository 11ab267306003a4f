#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace zel::files {

// "GetFileInfo": input [path] (a null string reads as the empty path).
struct FileInfoRequest {
  std::wstring path;
};
FileInfoRequest DecodeFileInfoRequest(const VARIANT& input);
// Output [size as VT_I8]. 0, or -1 when the file's status cannot be read (or, by its row, the
// input is unusable).
LONG GetFileInfo(const FileInfoRequest& request, VARIANT& output);

// "GetFile": input [path, offset, maximum] (offset and maximum optional, VT_I4/VT_UI4/VT_I8/VT_UI8,
// 32-bit values widened with their sign so that VT_UI4 2147483648 is negative; a path in a string
// array without them).
struct FileRangeRequest {
  std::wstring path;
  long long offset = 0;   // negative reads as 0
  long long maximum = 0;  // 0 or negative: to the end
};
FileRangeRequest DecodeFileRangeRequest(const VARIANT& input);
// Output the bytes read as a byte array. 0; 404 file not opened or its status unreadable; 8 range
// of 4 GiB or more, or no memory for it; -1 a failed read (or, by its row, bad parameters).
LONG GetFile(const FileRangeRequest& request, VARIANT& output);

}  // namespace zel::files
