#include "media/registrations.h"

#include <time.h>

#include <algorithm>

#include "common/answer.h"
#include "common/scoped_variant.h"
#include "common/request_input.h"
#include "media/prefix_table.h"

namespace zel::media {

RegistrationStrings DecodeRegistration(const VARIANT& input, LONG required, LONG wanted) {
  const input::Elements elements(input);
  RegistrationStrings decoded;
  decoded.length = elements.Length();
  if (decoded.length < required) return decoded;
  for (LONG i = 0; i < std::min(decoded.length, wanted); ++i) decoded.strings.push_back(elements.String(i).Value());
  return decoded;
}

LONG RegisterCustomMediumId(PrefixStore& prefixes, const std::wstring& requester, const RegistrationStrings& input,
                            VARIANT& output) {
  if (input.strings.size() < 3) return 1;
  PrefixEntry entry;
  entry.satellite = requester;
  entry.getMediumFromId = input.strings[0];
  entry.getMediumInfoFromId = input.strings[1];
  entry.getMediumListInfoFromId = input.strings[2];
  entry.isMediumShared = input.strings.size() > 3 ? input.strings[3] : std::wstring(L"IsMediumShared");
  entry.timestamp = _time64(nullptr);

  // A key is answered only once the document holding it is saved.
  const std::wstring key = prefixes.Register(std::move(entry));
  StringVariant(L"X" + key).ReleaseInto(output);
  return 0;
}

LONG RegisterCustomDvr(DvrTable& dvrs, const std::wstring& requester, const RegistrationStrings& input) {
  if (input.strings.size() < 2) return 1;
  auto guard = dvrs.Lock();
  dvrs.container[requester] = {input.strings[0], input.strings[1]};
  return 0;
}

LONG GetRegisteredDvrs(DvrTable& dvrs, VARIANT& output) {
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
