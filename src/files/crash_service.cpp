#include "files/crash_service.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <cstdlib>

#include "common/module_log.h"

namespace zel::files {
namespace {

[[noreturn]] void RuntimeLibraryFault() {
  // A checked function of the runtime library given no place for its result: the runtime's
  // invalid-parameter handler decides what follows (the default one ends the process). A runtime
  // whose handler returns reports EINVAL instead; abort, the runtime's own way out, follows then.
  int* volatile no_descriptor = nullptr;
  _wsopen_s(no_descriptor, L"", _O_RDONLY, _SH_DENYNO, 0);
  std::abort();
}

void AccessViolation() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 2;
}

}  // namespace

LONG DecodeCrashMode(const VARIANT& input) { return V_VT(&input) == VT_I4 ? V_I4(&input) : 0; }

LONG GenerateCrash(LONG mode) {
  if (mode == 2) {
    ModuleLog().Error(L"GenerateCrash: handing the runtime library an invalid parameter, as asked");
    RuntimeLibraryFault();
  }
  ModuleLog().Error(L"GenerateCrash: writing through a null pointer, as asked (mode %d)", static_cast<int>(mode));
  AccessViolation();
  return 0;
}

}  // namespace zel::files
