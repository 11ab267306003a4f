#include "media/medium_route.h"

#include <cwchar>

#include "media/prefix_table.h"

namespace zel::media {

bool StartsWith(const std::wstring& id, const wchar_t* lead) {
  const size_t length = std::wcslen(lead);
  return id.size() >= length && id.compare(0, length, lead) == 0;
}

std::optional<std::wstring> TargetOf(PrefixStore& prefixes, const Owner& owner, const std::wstring& id) {
  switch (owner.kind) {
    case OwnerKind::kSatellite:
      return std::wstring(owner.target);
    case OwnerKind::kDevice:
      // The device character is the id's second; "D" alone has none, and is sent to the plain
      // "DivEduvized" (what the name pattern gives for the character that ends the id).
      return kDevicePrefix + id.substr(1, 1);
    case OwnerKind::kCustom:
      if (auto entry = prefixes.Find(PrefixKeyOf(id))) return std::move(entry->satellite);
      return std::nullopt;
    case OwnerKind::kNone:
      break;
  }
  return std::nullopt;
}

}  // namespace zel::media
