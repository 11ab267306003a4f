#pragma once

#include <functional>

#include "common/unique_handle.h"

namespace zel {

// Starts `body` on a new thread (_beginthreadex, default stack) that holds a reference on the
// module that contains this code until it ends (FreeLibraryAndExitThread). A background thread of
// the module - a zip worker, a grouped sub-request - may outlive Close; this keeps a host that
// unloads the module afterwards from unmapping the code the thread still runs. Exceptions do not
// escape `body`. Returns the thread's handle, which the caller owns; empty when no thread started.
UniqueKernelHandle StartModuleThread(std::function<void()> body);

}  // namespace zel
