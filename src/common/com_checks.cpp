#include "common/com_checks.h"

#include "common/module_log.h"

namespace zel {

void LogFailedCheck(const char* expression, const char* file, int line, HRESULT hr) {
  ModuleLog().Debug(L"%hs failed: hr = 0x%08X (%hs:%d)", expression, static_cast<unsigned>(hr), file, line);
}

}  // namespace zel
