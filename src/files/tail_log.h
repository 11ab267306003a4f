#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel::files {

// The most "my-ZEL_TailLog" ever reads; negative and larger limits read this much.
constexpr DWORD kTailCap = 5000000;

// "my-ZEL_TailLog": input [path, limit]; output [file size, length of the text, text]: at most
// `limit` (at most kTailCap) bytes from the end of the file, read in text mode, without the part up
// to and including the first line feed, each line read as UTF-8 when it is well-formed UTF-8 (the
// module's own log) and in the ANSI code page otherwise; a character cut by the start of the read
// or by a writer still busy at the end is dropped whole, and the length counts the bytes kept. 0; 404 the file cannot be opened or the path is not a
// string or the limit not a number; 403 its size cannot be read in 32 bits; -1 no output array.
// A read that fails or finds no memory answers what was read before it, with 0.
LONG TailLog(const VARIANT& input, VARIANT& output);

}  // namespace zel::files
