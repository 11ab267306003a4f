#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <vector>

#include "channel/broker_channel.h"
#include "common/scoped_variant.h"

namespace zel::media {

// How long "MultiRequest" waits for all of its sub-requests together.
constexpr DWORD kGroupTimeLimitMs = 25000;

// How many sub-request threads may be running at once, module-wide. A satellite that never answers
// keeps its sub-requests' threads waiting for good; beyond this many, a sub-request gets no thread
// and its slot answers the empty pair at once (a WARN line counts them).
constexpr LONG kMostRunningSubRequests = 1024;

// Replaces that bound (for tests, so that reaching it needs no thousand threads); returns the old.
LONG SetSubRequestThreadCap(LONG cap);

// "MultiRequest": the input is a zero-based variant array of sub-requests, each a variant array
// [target, service, parameters, ...]. Every one is copied, its parameters made its own, before any
// thread starts, so that unreadable input starts nothing (the row answers 1 with its WARN line).
struct GroupRequest {
  std::vector<ScopedVariant> sub_requests;
};
GroupRequest DecodeGroupRequest(const VARIANT& input);

// With n >= 1 sub-requests: Every sub-request goes straight to the broker from a
// thread of its own; all run at once and are waited for together, at most kGroupTimeLimitMs from
// the start of the first thread (a thread not started by then never starts).
// `output` becomes a variant array of n slots in input order: [status, result] as the broker
// answered, [VT_EMPTY, VT_EMPTY] for a sub-request still running at the time-out or whose broker
// request itself failed, VT_EMPTY for a sub-request that could not be read or got no thread.
// Returns 0 when the output was built (also after a time-out), -1 for an empty array (output
// untouched).
// The group's records stay alive, and keep `channel` alive, until the last of its threads ends,
// which after a time-out may be after this call and after Close.
LONG MakeGroupedRequest(const std::shared_ptr<const channel::BrokerChannel>& channel, GroupRequest request,
                        VARIANT& output);

// The same with another time limit, so that a time-out can be tried without waiting 25 seconds.
LONG MakeGroupedRequestWithin(const std::shared_ptr<const channel::BrokerChannel>& channel, GroupRequest request,
                              VARIANT& output, DWORD limit_ms);

}  // namespace zel::media
