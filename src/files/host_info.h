#pragma once

#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string>

namespace zel::files {

// "my-ZEL_GetVersion": output an array of 11: [null string, "Version" (null string when
// missing), bias, local time (VT_DATE), zone state, standard name, standard change rule,
// standard bias, daylight name, daylight change rule, daylight bias]. Always 0.
LONG GetVersion(const VARIANT& input, VARIANT& output);

// "my-ZEL_TailLog": input [path, limit]; output [file size, length of the text, text]: at most
// `limit` (at most 5000000) bytes from the end of the file, read in text mode, without the part up
// to and including the first line feed. 0; 404 the file cannot be opened or the path is not a
// string or the limit not a number; 403 its size cannot be read in 32 bits; -1 no output array.
// A read that fails or finds no memory answers what was read before it, with 0.
LONG TailLog(const VARIANT& input, VARIANT& output);

// "GetZelDataFolder": output the all-users application-data folder + "\RodEzeduduv". 0; 1 when
// that folder is unknown (output untouched).
LONG GetZelDataFolder(const VARIANT& input, VARIANT& output);

// "GetZelConfig": output the values of HKLM\Software\Rod Ezeduduv\Zel\Config in name order as
// [[name, text], ...] (string arrays), or VT_EMPTY for a key without values. Always 0; without
// the key the output is untouched.
LONG GetZelConfig(const VARIANT& input, VARIANT& output);

// "GenerateCrash": input VT_I4 mode (anything else counts as 0). Mode 2 hands the runtime library
// an invalid parameter (and aborts should its handler return); every other mode writes through a
// null pointer. Meant for trying out the host's crash handling: it does not return in a process
// that handles neither.
LONG GenerateCrash(const VARIANT& input, VARIANT& output);

namespace host_info {

constexpr DWORD kTailCap = 5000000;

// What "my-ZEL_GetVersion" reports, gathered apart from the array so that any zone can be shown.
struct VersionFacts {
  std::optional<std::wstring> version;
  SYSTEMTIME local_time{};
  DWORD zone_state = TIME_ZONE_ID_UNKNOWN;  // as GetTimeZoneInformation returns it
  TIME_ZONE_INFORMATION zone{};
};

VersionFacts CurrentVersionFacts();
// Fills `out` (overwritten, not cleared) with the 11-element array.
void BuildVersionArray(const VersionFacts& facts, VARIANT* out);

}  // namespace host_info
}  // namespace zel::files
