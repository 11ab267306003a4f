#include "media/sub_request_places.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace zel::media {

namespace {

// A sender that has had nothing to send for this long ends: long enough that the groups of a busy
// client reuse the threads, short enough that a thousand idle ones do not linger after a burst.
constexpr DWORD kSenderIdleMs = 30000;
// Sending waits in COM calls only; 1,024 senders then reserve 256 MiB, which a 32-bit process can
// spare, where the program's default (often 1 or 2 MiB) could not. (Wine reserves at least 1 MiB
// whatever is asked.)
constexpr unsigned kSenderStackReserve = 256u << 10;

}  // namespace

SubRequestPlaces::SubRequestPlaces(LONG cap)
    : cap_(std::max<LONG>(cap, 1)),
      reserve_(std::max<LONG>(cap_ / 32, 1)),
      senders_(cap_, kSenderIdleMs, kSenderStackReserve) {}

bool SubRequestPlaces::Stalled(const Target& target) const {
  return target.out > 0 && target.sent_after.front().first == target.returned;
}

SubRequestPlaces::Ticket SubRequestPlaces::SendOut(Target& record) {
  ++record.out;
  if (!record.sent_after.empty() && record.sent_after.back().first == record.returned) {
    ++record.sent_after.back().second;
  } else {
    record.sent_after.emplace_back(record.returned, 1);
  }
  return record.returned;
}

bool SubRequestPlaces::CameBack(Target& record, Ticket ticket) {
  auto& sent = record.sent_after;
  const auto at = std::lower_bound(sent.begin(), sent.end(), std::make_pair(ticket, LONG{0}));
  if (at == sent.end() || at->first != ticket || at->second == 0) return false;
  --at->second;
  while (!sent.empty() && sent.front().second == 0) sent.pop_front();
  ++record.returned;
  --record.out;
  return true;
}

bool SubRequestPlaces::TryTake(const std::wstring& target, Ticket* ticket) {
  std::lock_guard<TkSection> lock(lock_);
  if (taken_ >= cap_) return false;
  const auto found = targets_.find(target);
  if (taken_ >= cap_ - reserve_ && found != targets_.end() && Stalled(found->second)) return false;
  *ticket = SendOut(found != targets_.end() ? found->second : targets_[target]);
  ++taken_;
  return true;
}

SubRequestPlaces::Ticket SubRequestPlaces::HandOn(const std::wstring& target, Ticket ticket) {
  bool wake = false;
  Ticket next = 0;
  {
    std::lock_guard<TkSection> lock(lock_);
    Target& record = targets_[target];
    // A ticket that holds no place (a caller's mistake) leaves the next call a place of its own.
    if (!CameBack(record, ticket)) ++taken_;
    next = SendOut(record);
    // A call that came back may have ended its target's stall, and so opened the reserve to a
    // waiting handler; once every place is taken there is nothing to tell.
    if (taken_ < cap_ && waiting_ > 0) {
      ++generation_;
      wake = true;
    }
  }
  if (wake) changed_.notify_all();
  return next;
}

void SubRequestPlaces::GiveBack(const std::wstring& target, Ticket ticket) {
  bool wake = false;
  {
    std::lock_guard<TkSection> lock(lock_);
    const auto found = targets_.find(target);
    if (found == targets_.end() || !CameBack(found->second, ticket)) return;
    if (found->second.out == 0) targets_.erase(found);
    --taken_;
    ++generation_;
    wake = waiting_ > 0;
  }
  // Only a waiting handler needs telling; a thousand senders coming back at once must not each
  // wake nobody through the condition's own lock.
  if (wake) changed_.notify_all();
}

uint64_t SubRequestPlaces::Generation() {
  std::lock_guard<TkSection> lock(lock_);
  return generation_;
}

void SubRequestPlaces::AwaitChange(uint64_t generation, ULONGLONG deadline) {
  std::unique_lock<TkSection> lock(lock_);
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    if (generation_ != generation || now >= deadline) return;
    ++waiting_;
    changed_.wait_for(lock, std::chrono::milliseconds(deadline - now));
    --waiting_;
  }
}

LONG SubRequestPlaces::Taken() {
  std::lock_guard<TkSection> lock(lock_);
  return taken_;
}

}  // namespace zel::media
