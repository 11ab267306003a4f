#include "media/sub_request_places.h"

#include <algorithm>
#include <chrono>
#include <mutex>

namespace zel::media {

SubRequestPlaces::SubRequestPlaces(LONG cap) : cap_(std::max<LONG>(cap, 1)), reserve_(std::max<LONG>(cap_ / 32, 1)) {}

bool SubRequestPlaces::Stalled(const Target& target) const {
  return target.out > 0 && *target.sent_after.begin() == target.returned;
}

bool SubRequestPlaces::TryTake(const std::wstring& target, Ticket* ticket) {
  std::lock_guard<TkSection> lock(lock_);
  if (taken_ >= cap_) return false;
  const auto found = targets_.find(target);
  if (taken_ >= cap_ - reserve_ && found != targets_.end() && Stalled(found->second)) return false;
  Target& record = found != targets_.end() ? found->second : targets_[target];
  ++record.out;
  record.sent_after.insert(record.returned);
  *ticket = record.returned;
  ++taken_;
  return true;
}

void SubRequestPlaces::GiveBack(const std::wstring& target, Ticket ticket) {
  {
    std::lock_guard<TkSection> lock(lock_);
    const auto found = targets_.find(target);
    if (found == targets_.end()) return;
    Target& record = found->second;
    const auto sent = record.sent_after.find(ticket);
    if (sent == record.sent_after.end()) return;
    record.sent_after.erase(sent);
    ++record.returned;
    if (--record.out == 0) targets_.erase(found);
    --taken_;
    ++generation_;
  }
  changed_.notify_all();
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
    changed_.wait_for(lock, std::chrono::milliseconds(deadline - now));
  }
}

LONG SubRequestPlaces::Taken() {
  std::lock_guard<TkSection> lock(lock_);
  return taken_;
}

}  // namespace zel::media
