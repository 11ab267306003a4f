#include "media/request_group.h"

#include <utility>

namespace zel::media {

RequestGroup::RequestGroup(std::shared_ptr<const channel::BrokerChannel> channel,
                           std::shared_ptr<SubRequestPlaces> places, LONG count)
    : channel_(std::move(channel)), places_(std::move(places)), records_(std::make_unique<SubRequest[]>(count)) {}

void RequestGroup::Enqueue(LONG i) {
  SubRequest& record = records_[i];
  const auto known = line_of_.emplace(record.target, lines_.size());
  const size_t line = known.first->second;
  if (known.second) lines_.emplace_back().target = record.target;
  lines_[line].waiting.push_back(i);
  record.line = line;
  ++unfinished_;
}

bool RequestGroup::MayStart() const { return !closed_ && ::GetTickCount64() < deadline_; }

LONG RequestGroup::Claim(Line& line) {
  if (line.Done()) return -1;  // a read first: a done line is not written again
  const LONG k = line.next++;
  return k < static_cast<LONG>(line.waiting.size()) ? line.waiting[k] : -1;
}

size_t RequestGroup::FirstOpenLine() {
  size_t first = first_open_;
  while (first < lines_.size() && lines_[first].Done()) {
    // Whoever gets there first moves it on; a later one finds it moved at least as far.
    if (first_open_.compare_exchange_weak(first, first + 1)) ++first;
  }
  return first;
}

LONG RequestGroup::TakeNext(Line& line) {
  if (!MayStart() || line.Done()) return -1;
  SubRequestPlaces::Ticket ticket = 0;
  if (!places_->TryTake(line.target, &ticket)) return -1;
  const LONG i = Claim(line);
  if (i < 0) {  // a sender took the last one meanwhile
    places_->GiveBack(line.target, ticket);
    return -1;
  }
  records_[i].ticket = ticket;
  return i;
}

std::vector<LONG> RequestGroup::TakeStartable() {
  std::vector<LONG> startable;
  for (size_t at = FirstOpenLine(); at < lines_.size(); ++at) {
    for (LONG i = TakeNext(lines_[at]); i >= 0; i = TakeNext(lines_[at])) startable.push_back(i);
  }
  return startable;
}

LONG RequestGroup::Finished(LONG i) {
  SubRequest& record = records_[i];
  const LONG next = MayStart() ? Claim(lines_[record.line]) : -1;
  if (next >= 0) records_[next].ticket = places_->HandOn(record.target, record.ticket);
  CountFinished(1);
  if (next >= 0) return next;
  places_->GiveBack(record.target, record.ticket);
  for (size_t at = FirstOpenLine(); at < lines_.size() && MayStart(); ++at) {
    const LONG other = TakeNext(lines_[at]);
    if (other >= 0) return other;
  }
  return -1;
}

void RequestGroup::NotStarted(LONG i) {
  CountFinished(1);
  places_->GiveBack(records_[i].target, records_[i].ticket);
}

void RequestGroup::CountFinished(LONG count) {
  if (unfinished_.fetch_sub(count) == count) ::SetEvent(all_finished_.Get());
}

bool RequestGroup::AnyQueued() {
  if (!MayStart()) return false;
  for (size_t at = FirstOpenLine(); at < lines_.size(); ++at) {
    if (!lines_[at].Done()) return true;
  }
  return false;
}

bool RequestGroup::AwaitAllFinished(DWORD ms) const {
  return all_finished_ && ::WaitForSingleObject(all_finished_.Get(), ms) != WAIT_FAILED;
}

LONG RequestGroup::Close() {
  closed_ = true;
  LONG left = 0;
  for (Line& line : lines_) {
    const LONG size = static_cast<LONG>(line.waiting.size());
    const LONG next = line.next.exchange(size);
    if (next < size) left += size - next;
  }
  if (left > 0) CountFinished(left);
  return left;
}

}  // namespace zel::media
