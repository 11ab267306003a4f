#pragma once

#include <windows.h>
#include <oaidl.h>

namespace zel::files {

// "GetZelDataFolder": output the product's data folder ("<all-users application data>\RodEzeduduv").
// 0; 1 when that folder is unknown (output untouched).
LONG GetZelDataFolder(VARIANT& output);

// "GetZelConfig": output the values of HKLM\Software\Rod Ezeduduv\Zel\Config in name order as
// [[name, text], ...] (string arrays), or VT_EMPTY for a key without values. Always 0; without
// the key the output is untouched (and, by its row, when the answer cannot be built).
LONG GetZelConfig(VARIANT& output);

}  // namespace zel::files
