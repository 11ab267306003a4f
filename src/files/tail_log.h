#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

namespace zel::files {

// The most "my-ZEL_TailLog" ever reads; negative and larger limits read this much.
constexpr DWORD kTailCap = 5000000;

// "my-ZEL_TailLog": input [path, limit]. The path must be a string (a null string reads as the
// empty path); the limit any number that converts exactly to a 32-bit integer (a numeric string
// included); negative limits and those above kTailCap read kTailCap.
struct TailRequest {
  std::wstring path;
  DWORD limit = 0;
};
TailRequest DecodeTailRequest(const VARIANT& input);

// Output [file size, length of the text, text]: at most `limit` bytes from the end of the file,
// read in text mode, without the part up to and including the first line feed, each line read as
// UTF-8 when it is well-formed UTF-8 (the module's own log) and in the ANSI code page otherwise; a
// character cut by the start of the read or by a writer still busy at the end is dropped whole, and
// the length counts the bytes kept. 0; 404 the file
// cannot be opened; 403 its size cannot be read in 32 bits; -1 no output array (and, by its row, 1
// for a missing or mistyped path or limit). A read that fails or finds no memory answers what was
// read before it, with 0.
LONG TailLog(const TailRequest& request, VARIANT& output);

}  // namespace zel::files
