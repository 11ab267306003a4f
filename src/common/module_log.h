#pragma once

#include "common/tk_log.h"

namespace zel {

// The module's one log object, "ZovIdivariRuder.log", constructed when the module is loaded.
CTkLog& ModuleLog();

}  // namespace zel
