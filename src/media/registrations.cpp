#include "media/registrations.h"

#include <time.h>

#include "common/answer.h"
#include "common/parameter_error_guard.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"
#include "media/prefix_table.h"
#include "media/request_args.h"

namespace zel::media {
LONG RegisterCustomMediumId(PrefixStore& prefixes, const std::wstring& requester, const VARIANT& input, VARIANT& output) {
  return GuardHandler(L"RegisterCustomMediumId exception: %s", 1, [&]() -> LONG {
    const LONG count = VUtil::GetArrayLength(input);
    if (count < 3) return 1;
    PrefixEntry entry;
    entry.satellite = requester;
    entry.getMediumFromId = VUtil::GetStringElement(input, 0);
    entry.getMediumInfoFromId = VUtil::GetStringElement(input, 1);
    entry.getMediumListInfoFromId = VUtil::GetStringElement(input, 2);
    entry.isMediumShared = count > 3 ? VUtil::GetStringElement(input, 3) : std::wstring(L"IsMediumShared");
    entry.timestamp = _time64(nullptr);

    // A key is answered only once the document holding it is saved (a refusal is logged and
    // answered 1 by the guard).
    const std::wstring key = prefixes.Register(std::move(entry));
    StringVariant(L"X" + key).ReleaseInto(output);
    return 0;
  });
}

LONG RegisterCustomDvr(DvrTable& dvrs, const std::wstring& requester, const VARIANT& input, VARIANT&) {
  auto guard = dvrs.Lock();
  return GuardHandler(L"RegisterCustomDVR exception: %s", 1, [&]() -> LONG {
    if (VUtil::GetArrayLength(input) < 2) return 1;
    std::wstring first = VUtil::GetStringElement(input, 0);
    std::wstring second = VUtil::GetStringElement(input, 1);
    dvrs.container[requester] = {std::move(first), std::move(second)};
    return 0;
  });
}

LONG GetRegisteredDvrs(DvrTable& dvrs, const VARIANT&, VARIANT& output) {
  ScopedVariant list;
  {
    auto guard = dvrs.Lock();
    const auto& table = dvrs.container;
    if (!table.empty()) {
      answer::ArrayBuilder rows(static_cast<LONG>(table.size()));
      LONG index = 0;
      for (const auto& [requester, strings] : table) {
        rows.Set(index++, answer::List(answer::String(requester), answer::String(strings.first),
                                       answer::String(strings.second)));
      }
      list = rows.Finish();
    }
  }
  list.ReleaseInto(output);
  return 0;
}

}  // namespace zel::media
