#pragma once

#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string>

#include "common/scoped_variant.h"

namespace zel::files {

// "my-ZEL_GetVersion": output an array of 11: [null string, "Version" (null string when
// missing), bias, local time (VT_DATE), zone state, standard name, standard change rule,
// standard bias, daylight name, daylight change rule, daylight bias]. Always 0.
LONG GetVersion(VARIANT& output);

// What "my-ZEL_GetVersion" reports, gathered apart from the array so that any zone can be shown.
struct VersionFacts {
  std::optional<std::wstring> version;
  SYSTEMTIME local_time{};
  DWORD zone_state = TIME_ZONE_ID_UNKNOWN;  // as GetTimeZoneInformation returns it
  TIME_ZONE_INFORMATION zone{};
};

VersionFacts CurrentVersionFacts();
// The 11-element array.
ScopedVariant BuildVersionArray(const VersionFacts& facts);

}  // namespace zel::files
