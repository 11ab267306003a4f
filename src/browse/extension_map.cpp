#include "browse/extension_map.h"

namespace zel::browse {

bool SharedExtensionMap::FillOnce(const ExtensionTable& source) {
  if (source.empty()) return false;
  auto guard = map_.Lock();
  if (filled_.load(std::memory_order_relaxed)) return false;
  map_.container = source;
  filled_.store(true, std::memory_order_release);
  return true;
}

std::wstring SharedExtensionMap::Find(const std::wstring& extension) const {
  if (!IsFilled()) return std::wstring();
  const auto found = map_.container.find(extension);
  return found != map_.container.end() ? found->second : std::wstring();
}

}  // namespace zel::browse
