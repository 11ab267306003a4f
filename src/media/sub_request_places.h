#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/tk_section.h"
#include "common/worker_pool.h"

namespace zel::media {

// How many grouped sub-requests may be waiting in satellites at once, module-wide. A satellite
// that never answers keeps its calls' threads waiting for good; this bounds what it can pile up.
constexpr LONG kMostRunningSubRequests = 1024;

// The places for sub-requests that are being sent, shared by every "MultiRequest" of the module.
// A sub-request takes a place before its thread sends it and gives it back when the broker
// answers. Beyond the cap a sub-request waits for a place (its group's queue) instead of being
// dropped.
//
// So that one satellite that never answers cannot take every place, the last places (the reserve,
// 1/32 of the cap, at least one) go only to a target that is not stalled. A target is stalled
// while it has calls out and none of its calls has come back since the oldest of those went out:
// a dead satellite becomes stalled with its first call and can hold at most cap - reserve places,
// while a satellite that answers, however slowly, can use them all.
//
// The places come with the threads that fill them: a pool of at most `cap` senders, kept while
// there is work, so that a large group, or one group after another, does not start a thread for
// every sub-request.
//
// Thread-safe; every operation on places takes the one lock.
class SubRequestPlaces {
 public:
  // What a taken place remembers of its target, to be handed back with it.
  using Ticket = uint64_t;

  explicit SubRequestPlaces(LONG cap = kMostRunningSubRequests);
  SubRequestPlaces(const SubRequestPlaces&) = delete;
  SubRequestPlaces& operator=(const SubRequestPlaces&) = delete;

  // Takes a place for a call to `target` when the rules above allow it.
  bool TryTake(const std::wstring& target, Ticket* ticket);
  // Gives back a place that TryTake gave for `target`, once its call has come back (or was never
  // sent), and wakes whoever waits for a place.
  void GiveBack(const std::wstring& target, Ticket ticket);
  // The call that held `ticket` has come back, and its place goes straight to the next call to the
  // same target without passing through the free places, so that nobody needs waking; answers the
  // next call's ticket.
  Ticket HandOn(const std::wstring& target, Ticket ticket);

  // A count that grows with every change that may let a waiting handler take a place: read it
  // before looking for places, then AwaitChange(it) sleeps only if nothing changed meanwhile.
  uint64_t Generation();
  // Waits until such a change after `generation` was read, or until `deadline` (a GetTickCount64
  // value) has passed.
  void AwaitChange(uint64_t generation, ULONGLONG deadline);

  // Runs each of `sends` on a sender thread, a batch waking its senders at once; answers how many,
  // from the first, a sender took (see WorkerPool::Run). The caller holds a place for each.
  size_t StartSending(std::vector<std::function<void()>>& sends) { return senders_.Run(sends); }

  LONG Cap() const noexcept { return cap_; }
  LONG Taken();

 private:
  struct Target {
    LONG out = 0;           // calls sent and not yet back
    uint64_t returned = 0;  // calls that have come back while this record lived
    // `returned` as it was when each call out went out, with how many calls went out at that
    // value: rising, since `returned` only grows, so the oldest call out is at the front. Kept in
    // a deque rather than a tree so that a steady stream of calls takes no allocation per call.
    std::deque<std::pair<uint64_t, LONG>> sent_after;
  };

  bool Stalled(const Target& target) const;
  Ticket SendOut(Target& record);
  bool CameBack(Target& record, Ticket ticket);

  const LONG cap_;
  const LONG reserve_;
  TkSection lock_{kCrowdedLockSpin};
  std::condition_variable_any changed_;
  LONG taken_ = 0;
  uint64_t generation_ = 0;
  LONG waiting_ = 0;  // in AwaitChange
  std::map<std::wstring, Target> targets_;  // only targets with calls out
  WorkerPool senders_;
};

}  // namespace zel::media
