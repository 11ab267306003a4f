#pragma once

#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "channel/broker_channel.h"
#include "common/scoped_variant.h"
#include "common/tk_section.h"
#include "common/unique_handle.h"
#include "media/sub_request_places.h"

namespace zel::media {

// One sub-request of a "MultiRequest". Target, service and parameters are read by the handler
// before any thread starts and then read only by the thread that sends it; `slot` is written by
// that thread and read by the waiting handler, both under `lock`, so that a read at the moment of a
// time-out sees either the prepared pair or the finished one, never half of a VARIANT.
struct SubRequest {
  ScopedVariant request;
  std::wstring target;
  std::wstring service;
  ScopedVariant parameters;
  size_t line = 0;  // its target's line in the group's queue
  SubRequestPlaces::Ticket ticket = 0;
  TkSection lock;
  ScopedVariant slot;  // VT_EMPTY until the sub-request has been read
};

// The records of one group, shared by the handler and by every sender: whoever lets go last
// releases them, which after a time-out is the last sender to end. The group shares the channel
// and the places its records use, so that Close meanwhile cannot take them away.
//
// Sub-requests that can be sent wait in the group's queue, one line per target in input order,
// until there is a place for their target; the handler and every sender done with a sub-request
// take the next that may start. Nothing starts once the time is up or the queue is closed.
//
// A thousand senders may come back from their satellite at the same moment. Under Wine a contended
// critical section there costs seconds (its waits share a spin lock in user space), so what a
// sender does on its way back takes no lock of the group: each line hands out its sub-requests by
// an interlocked cursor, and the group counts what is left with an interlocked count.
class RequestGroup {
 public:
  RequestGroup(std::shared_ptr<const channel::BrokerChannel> channel, std::shared_ptr<SubRequestPlaces> places,
               LONG count);
  RequestGroup(const RequestGroup&) = delete;
  RequestGroup& operator=(const RequestGroup&) = delete;

  SubRequest& operator[](LONG i) { return records_[i]; }
  const channel::BrokerChannel& Channel() const { return *channel_; }

  // Before any sender starts: queues sub-request i (its target read), then the time limit.
  void Enqueue(LONG i);
  void StartBy(ULONGLONG deadline) { deadline_ = deadline; }

  // Every queued sub-request that may start now, each with its place taken.
  std::vector<LONG> TakeStartable();
  // Sub-request i has come back. Its place goes straight to the next queued sub-request for the same
  // target, which is answered, so that a sender going on with its group wakes nobody; otherwise the
  // place is given back and the answer is the next that may start on another target, its place
  // taken, or -1.
  LONG Finished(LONG i);
  // Sub-request i had its place but no sender took it: the place is given back.
  void NotStarted(LONG i);

  bool AllFinished() const { return unfinished_ == 0; }
  bool AnyQueued();
  // Once nothing is queued, only the sub-requests being sent are left to wait for. False when it
  // cannot wait (no event).
  bool AwaitAllFinished(DWORD ms) const;
  // What is still queued never starts; answers how many that is.
  LONG Close();

 private:
  struct Line {
    std::wstring target;
    std::vector<LONG> waiting;     // in input order
    std::atomic<LONG> next{0};     // the first not yet handed out; past the end once the line is done
    bool Done() const { return next >= static_cast<LONG>(waiting.size()); }
  };

  bool MayStart() const;
  // The lines from the first that may still have sub-requests to hand out: done lines before it
  // are skipped for good, so that a group of many targets is not scanned whole by every sender.
  size_t FirstOpenLine();
  // The next sub-request of `line`, or -1 when none is left; the caller holds a place for it.
  LONG Claim(Line& line);
  // The next sub-request of `line` with a place taken for it (its ticket set), or -1 when the line
  // is done or its target may not have a place now.
  LONG TakeNext(Line& line);
  void CountFinished(LONG count);

  std::shared_ptr<const channel::BrokerChannel> channel_;
  std::shared_ptr<SubRequestPlaces> places_;
  std::unique_ptr<SubRequest[]> records_;  // released before the channel and the places
  std::deque<Line> lines_;               // fixed once senders start
  std::map<std::wstring, size_t> line_of_;  // by target, while queuing
  std::atomic<size_t> first_open_{0};
  std::atomic<LONG> unfinished_{0};      // queued or being sent
  std::atomic<bool> closed_{false};
  const UniqueKernelHandle all_finished_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ULONGLONG deadline_ = 0;
};

}  // namespace zel::media
