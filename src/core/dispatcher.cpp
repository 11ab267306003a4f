#include <comdef.h>

#include <cwchar>
#include <new>

#include "common/module_log.h"
#include "common/wide_error.h"
#include "core/service_table.h"

namespace zel::core {

void DispatchService(const ServiceEntry* table, size_t count, const std::wstring& service, ServiceCall& call,
                     LONG* return_code) {
  const ServiceEntry* entry = nullptr;
  for (size_t i = 0; i < count && entry == nullptr; ++i) {
    if (table[i].handler != nullptr && service == table[i].name) entry = &table[i];
  }
  if (entry == nullptr) return;

  try {
    *return_code = entry->handler(call);
  } catch (const WideError& error) {
    const ErrorMap& map = entry->errors;
    if (map.warn_format == nullptr) {
      ModuleLog().Warn(L"Onservicerequested exception: %s", error.Message().c_str());
      if (error.Code()) *return_code = *error.Code();
    } else {
      ModuleLog().Warn(map.warn_format, error.Message().c_str());
      *return_code = error.Code() ? *error.Code() : error.FromInput() ? map.input_code : map.failure_code;
    }
  } catch (const _com_error& error) {
    ModuleLog().Warn(L"%s: broker call failed, hr = 0x%08X", service.c_str(), static_cast<unsigned>(error.Error()));
    *return_code = error.Error();
  } catch (const std::bad_alloc&) {
    ModuleLog().Error(L"%s: out of memory", service.c_str());
    *return_code = 8;
  } catch (...) {
    ModuleLog().Error(L"%s: unexpected exception; return code left unchanged", service.c_str());
  }
}

}  // namespace zel::core
