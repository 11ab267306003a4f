#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace zel::zip {

// "ZipLogs": a deflated archive, in the temporary folder, of every file under the module's data
// folder, or under one of its sub-folders when the input is a VT_BSTR naming it (appended as
// PathAppendW appends, so a leading "\" is dropped; any other input means the data folder itself).
// Built at once on the request's thread, each file streamed in pieces; output [archive path
// (VT_BSTR), archive size (VT_I4)]. A file that cannot be opened, that leads out of the data folder
// through a link, or that the archive cannot hold is left out with an ERROR line, and the archive
// then ends with an entry "left-out.txt" naming each file left out and why (no such entry when
// nothing was left out). The size answered is the finished archive's, that entry included.
// 0; 1 data folder unknown; 2 no archive (no new file could be made, or writing it failed: it is
// deleted); 403 a sub-folder that would leave the data folder ("..", absolute paths, drive
// letters, network paths, a link leading out, a path longer than any folder), nothing archived;
// -1 (by its row) an error reading the input.
struct LogsRequest {
  std::wstring sub_folder;  // empty: the data folder itself
};
LogsRequest DecodeLogsRequest(const VARIANT& input);
LONG ZipLogs(const LogsRequest& request, VARIANT& output);

}  // namespace zel::zip
