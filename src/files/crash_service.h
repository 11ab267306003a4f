#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel::files {

// "GenerateCrash": input VT_I4 mode (anything else counts as 0). Mode 2 hands the runtime library
// an invalid parameter (and aborts should its handler return); every other mode writes through a
// null pointer. Meant for trying out the host's crash handling: it does not return in a process
// that handles neither.
LONG GenerateCrash(const VARIANT& input, VARIANT& output);

}  // namespace zel::files
