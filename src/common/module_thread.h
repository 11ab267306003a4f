#pragma once

#include <functional>

#include "common/unique_handle.h"

namespace zel {

// Starts `body` on a new thread (_beginthreadex; `stack_reserve` bytes of stack reserved, 0 for the
// program's default) that holds a reference on the module that contains this code until it ends
// (FreeLibraryAndExitThread). A background thread of the module - a zip worker, a sender of
// grouped sub-requests - may outlive Close; this keeps a host that unloads the module afterwards
// from unmapping the code the thread still runs. Exceptions do not escape `body`. Returns the
// thread's handle, which the caller owns; empty when no thread started.
UniqueKernelHandle StartModuleThread(std::function<void()> body, unsigned stack_reserve = 0);

}  // namespace zel
