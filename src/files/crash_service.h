#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel::files {

// "GenerateCrash": input VT_I4 mode (anything else counts as 0).
LONG DecodeCrashMode(const VARIANT& input);
// Mode 2 hands the runtime library an invalid parameter (and aborts should its handler return);
// every other mode writes through a null pointer. Meant for trying out the host's crash handling:
// it does not return in a process that handles neither.
LONG GenerateCrash(LONG mode);

}  // namespace zel::files
