#include "files/version_info.h"

#include <cwchar>

#include "common/answer.h"
#include "common/registry.h"

namespace zel::files {
namespace {

constexpr const wchar_t* kZelKey = L"Software\\Rod Ezeduduv\\Zel";
constexpr DWORD kVersionMaxBytes = 1024;

// [month, day of week, week of month, time of day in milliseconds] of a zone's transition date.
ScopedVariant ChangeRule(const SYSTEMTIME& change) {
  const LONG time_of_day =
      ((change.wHour * 60 + change.wMinute) * 60 + change.wSecond) * 1000 + change.wMilliseconds;
  return answer::List(answer::Long(change.wMonth), answer::Long(change.wDayOfWeek), answer::Long(change.wDay),
                      answer::Long(time_of_day));
}

ScopedVariant ZoneName(const wchar_t (&name)[32]) { return answer::String(std::wstring(name, wcsnlen(name, 32))); }

ScopedVariant LocalTime(SYSTEMTIME local) {
  DATE date = 0;
  if (!::SystemTimeToVariantTime(&local, &date)) date = 0;
  return answer::Date(date);
}

}  // namespace

VersionFacts CurrentVersionFacts() {
  VersionFacts facts;
  facts.version = ReadRegistryString(HKEY_LOCAL_MACHINE, kZelKey, L"Version", kVersionMaxBytes);
  ::GetLocalTime(&facts.local_time);
  facts.zone_state = ::GetTimeZoneInformation(&facts.zone);
  return facts;
}

ScopedVariant BuildVersionArray(const VersionFacts& facts) {
  const TIME_ZONE_INFORMATION& zone = facts.zone;
  return answer::List(answer::NullString(), answer::OptionalString(facts.version), answer::Long(zone.Bias),
                      LocalTime(facts.local_time), answer::Long(static_cast<LONG>(facts.zone_state)),
                      ZoneName(zone.StandardName), ChangeRule(zone.StandardDate), answer::Long(zone.StandardBias),
                      ZoneName(zone.DaylightName), ChangeRule(zone.DaylightDate), answer::Long(zone.DaylightBias));
}

LONG GetVersion(VARIANT& output) {
  BuildVersionArray(CurrentVersionFacts()).ReleaseInto(output);
  return 0;
}

}  // namespace zel::files
