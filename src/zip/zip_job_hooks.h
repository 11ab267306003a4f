#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "common/unique_handle.h"
#include "zip/zip_file_sink.h"
#include "zip/zip_plan.h"

namespace zel::zip {

// What the tests change in how a ZipJobs runs its jobs; the module's own ZipJobs has none.
struct ZipJobHooks {
  DWORD wait_ms = 5000;  // how long CreateZip waits for its worker before answering
  // Called with each worker thread's handle (a duplicate, the callee's to keep), for tests that
  // must know when a job has ended.
  std::function<void(UniqueKernelHandle worker)> on_worker;
  // Wraps the sink on each new archive file (a disk that fills up, a source that changes while
  // the job writes).
  std::function<std::unique_ptr<ZipSink>(std::unique_ptr<ZipSink>)> wrap_sink;
  size_t max_held_files = kMaxHeldFiles;  // source files a plan keeps open
};

}  // namespace zel::zip
