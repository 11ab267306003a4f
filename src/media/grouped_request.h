#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <vector>

#include "channel/broker_channel.h"
#include "common/scoped_variant.h"
#include "media/sub_request_places.h"

namespace zel::media {

// How long "MultiRequest" waits for all of its sub-requests together.
constexpr DWORD kGroupTimeLimitMs = 25000;

// "MultiRequest": `input` is a zero-based variant array of n >= 1 sub-requests, each a variant
// array [target, service, parameters, ...]. Every sub-request goes straight to the broker from a
// sender thread of `places`, side by side, as far as `places` has room for it (past that, it waits
// for a place in the group's queue, and a sender that is done with one takes the next); all within
// `limit_ms` from the start, starting included: a sub-request not started by then never starts.
// Every sub-request is copied, its parameters made its own, before any thread starts, so that
// unreadable input starts nothing (the row answers 1 with its WARN line).
// `output` becomes a variant array of n slots in input order: [status, result] as the broker
// answered, [VT_EMPTY, VT_EMPTY] for a sub-request still running or not started at the time-out
// or whose broker request itself failed (one WARN line counts those not started), VT_EMPTY for a
// sub-request that could not be read.
// Returns 0 when the output was built (also after a time-out), -1 for an empty array (output
// untouched).
// The group's records stay alive, and keep `channel` and `places` alive, until the last of its
// threads ends, which after a time-out may be after this call and after Close.
struct GroupRequest {
  std::vector<ScopedVariant> sub_requests;
};
GroupRequest DecodeGroupRequest(const VARIANT& input);
LONG MakeGroupedRequest(const std::shared_ptr<const channel::BrokerChannel>& channel,
                        const std::shared_ptr<SubRequestPlaces>& places, GroupRequest request, VARIANT& output,
                        DWORD limit_ms = kGroupTimeLimitMs);

}  // namespace zel::media
