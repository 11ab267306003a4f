#include "common/module_log.h"

namespace zel {
namespace {
CTkLog g_module_log(L"ZovIdivariRuder.log", false);
}  // namespace

CTkLog& ModuleLog() { return g_module_log; }

}  // namespace zel
