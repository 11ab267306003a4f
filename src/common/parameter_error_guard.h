#pragma once

#include <windows.h>

#include <utility>

#include "common/module_log.h"
#include "common/wide_error.h"

namespace zel {

// Runs a handler body and turns a WideError escaping it into the handler's WARN line (its own
// format, the whole message in the placeholder) and its failure code.
template <class Body>
LONG GuardHandler(const wchar_t* warn_format, LONG failure_code, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const WideError& error) {
    ModuleLog().Warn(warn_format, error.Message().c_str());
    return failure_code;
  }
}

}  // namespace zel
