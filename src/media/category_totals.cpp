#include "media/category_totals.h"

#include <algorithm>
#include <cwchar>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "common/request_input.h"
#include "common/module_log.h"
#include "common/scoped_variant.h"
#include "common/text.h"
#include "common/vutil.h"
#include "common/answer.h"

namespace zel::media {
namespace {

constexpr const wchar_t* kMusicWarning = L"KroGetMusicCategoryTotals: %s";
// The recorder request reports under the music request's name: one prefix for the audio totals.
constexpr const wchar_t* kRecorderWarning = kMusicWarning;
constexpr const wchar_t* kListingsWarning = L"GetNbTVChannels: %s";

// Sends one request and returns the satellite's answer array (the result). A failure of the broker
// itself and a non-zero status are raised like any other unreadable answer, so that each request
// routine reports all of them through its one WARN line.
ScopedVariant Ask(const channel::BrokerChannel& channel, const wchar_t* target, const wchar_t* service, const VARIANT& params) {
  channel::BrokerChannel::Reply reply;
  try {
    reply = channel.Send(target, service, params);
  } catch (const _com_error& error) {
    throw WideError(
        FormatWide(L"the broker request %s failed: hr = 0x%08X", service, static_cast<unsigned>(error.Error())));
  }
  VUtil::CheckSingleRetcode(*reply.status);
  return std::move(reply.result);
}

// Runs one request step. A failed request or an unreadable answer is reported with the step's WARN
// line and makes the step fail (nothing); the service decides what a failed step means for it.
template <class Body>
std::optional<LONG> Reported(const wchar_t* warn_format, Body&& body) {
  try {
    return body();
  } catch (const WideError& error) {
    ModuleLog().Warn(warn_format, error.Message().c_str());
    return std::nullopt;
  }
}

// A variant array of `count` VT_I4 values.
template <size_t count>
void PutTotals(const std::array<LONG, count>& table, VARIANT& output) {
  answer::ArrayBuilder totals(static_cast<LONG>(count));
  for (size_t i = 0; i < count; ++i) totals.Set(static_cast<LONG>(i), answer::Long(table[i]));
  totals.Finish().ReleaseInto(output);
}

}  // namespace

LONG KroGetMusicCategoryTotals(const channel::BrokerChannel& channel, const VARIANT& params, AudioTotals& table) {
  return Reported(kMusicWarning, [&]() -> LONG {
    const ScopedVariant result = Ask(channel, L"DiRuzov", L"GetCategoryTotals", params);
    if (VUtil::GetArrayLength(*result) < 1) return -1;
    ScopedVariant numbers;
    VUtil::GetElement(*result, 0, numbers.Get());
    // Slots 11 and 12 belong to the recorder: a longer answer's extra numbers are not read.
    const LONG used = std::min<LONG>(VUtil::GetArrayLength(*numbers), kMusicTotals);
    for (LONG i = 0; i < used; ++i) table[i] = VUtil::GetLongElement(*numbers, i);
    return 0;
  }).value_or(-1);
}

LONG KroGetPVRCategoryTotals(const channel::BrokerChannel& channel, const wchar_t* media_type, LONG* totals) {
  return Reported(kRecorderWarning, [&]() -> LONG {
    const ScopedVariant type = answer::String(media_type);
    const ScopedVariant result = Ask(channel, L"Any", L"GetPVRCategoryTotals", *type);
    if (VUtil::GetArrayLength(*result) < 1) return -1;
    ScopedVariant pair;
    VUtil::GetElement(*result, 0, pair.Get());
    totals[0] = VUtil::GetLongElement(*pair, 0);
    totals[1] = VUtil::GetLongElement(*pair, 1);
    return 0;
  }).value_or(-1);
}

LONG GetNbTVChannels(const channel::BrokerChannel& channel, LONG* tv_count, LONG* input_count) {
  *tv_count = 0;
  *input_count = 0;
  return Reported(kListingsWarning, [&]() -> LONG {
    // The whole guide: both ends of the time range 0.0.
    ScopedVariant range;
    VUtil::CreateArray(range.Get(), VT_DATE, 2);
    for (LONG i = 0; i < 2; ++i) {
      DATE none = 0.0;
      VUtil::PutElement(*range, i, &none);
    }
    const ScopedVariant result = Ask(channel, L"Any", L"GetTVListings", *range);
    if (VUtil::GetArrayLength(*result) < 1) return -1;
    ScopedVariant guide;
    VUtil::GetElement(*result, 0, guide.Get());
    ScopedVariant listings;
    VUtil::GetElement(*guide, 1, listings.Get());
    const LONG count = VUtil::GetArrayLength(*listings);
    for (LONG i = 0; i < count; ++i) {
      ScopedVariant listing;
      VUtil::GetElement(*listings, i, listing.Get());
      const std::wstring type = VUtil::GetStringElement(*listing, 3);
      if (std::wcsstr(type.c_str(), L"video/x-tv") != nullptr) ++*tv_count;
      if (_wcsicmp(type.c_str(), L"video/x-inputdevice") == 0) ++*input_count;
    }
    return 0;
  }).value_or(-1);
}

TotalsRequest DecodeTotalsRequest(const VARIANT& input) {
  input::Elements(input).At(0);  // not used, but an input without it is refused
  return {&input};
}

LONG GetAudioCategoryTotals(const channel::BrokerChannel& channel, const TotalsRequest& request, VARIANT& output) {
  AudioTotals table{};
  if (KroGetMusicCategoryTotals(channel, *request.whole, table) != 0) return 1;
  if (KroGetPVRCategoryTotals(channel, L"Audio", &table[kMusicTotals]) != 0) return 1;
  PutTotals(table, output);
  return 0;
}

LONG GetTVCategoryTotals(const channel::BrokerChannel& channel, VARIANT& output) {
  TvTotals table{};
  if (GetNbTVChannels(channel, &table[0], &table[3]) != 0) table[0] = 0;
  if (KroGetPVRCategoryTotals(channel, L"Video", &table[1]) != 0) return 1;
  PutTotals(table, output);
  return 0;
}

}  // namespace zel::media
