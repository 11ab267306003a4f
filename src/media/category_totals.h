#pragma once

#include <windows.h>
#include <oaidl.h>

#include <array>
#include <cstddef>

#include "channel/broker_channel.h"

namespace zel::media {

// The audio totals: slots 0 to 10 are the music satellite's category totals, 11 and 12 the
// recorder's "Audio" totals. The TV totals: 0 TV channels, 1 and 2 the recorder's "Video" totals,
// 3 input devices. Every slot a request does not fill reads 0.
constexpr size_t kAudioTotals = 13;
constexpr size_t kMusicTotals = 11;
constexpr size_t kTvTotals = 4;
using AudioTotals = std::array<LONG, kAudioTotals>;
using TvTotals = std::array<LONG, kTvTotals>;

// "GetAudioCategoryTotals": the input is a variant array of at least one element (an input whose
// element 0 cannot be read is refused, and its error reaches the dispatcher) and travels whole to
// the music satellite.
struct TotalsRequest {
  const VARIANT* whole = nullptr;
};
TotalsRequest DecodeTotalsRequest(const VARIANT& input);
// 0 with a 13-element variant array of VT_I4 in `output`; 1 (output untouched) when either request
// fails.
LONG GetAudioCategoryTotals(const channel::BrokerChannel& channel, const TotalsRequest& request, VARIANT& output);

// "GetTVCategoryTotals": the input is not read. 0 with a 4-element variant array of VT_I4 in
// `output`; 1 (output untouched) when the recorder request fails. A failed TV listing counts no
// channels.
LONG GetTVCategoryTotals(const channel::BrokerChannel& channel, VARIANT& output);

// The requests behind the two services, each sent through `channel`. Each returns 0, or -1
// after a WARN line when the broker, the satellite's status or the shape of its answer fails.

// "GetCategoryTotals" of "DiRuzov" with a copy of `params`: the answer's first 11 numbers go to
// slots 0 to 10 of `table`; later numbers are not read.
LONG KroGetMusicCategoryTotals(const channel::BrokerChannel& channel, const VARIANT& params, AudioTotals& table);
// "GetPVRCategoryTotals" of "Any" for `media_type` ("Audio" or "Video"): writes `totals[0]` and
// `totals[1]`.
LONG KroGetPVRCategoryTotals(const channel::BrokerChannel& channel, const wchar_t* media_type, LONG* totals);
// "GetTVListings" of "Any": sets both counts to 0, then counts the listings whose media type
// contains "video/x-tv" and those whose media type is "video/x-inputdevice" in any case. On a
// failure part-way the counts keep what was counted before it.
LONG GetNbTVChannels(const channel::BrokerChannel& channel, LONG* tv_count, LONG* input_count);

}  // namespace zel::media
