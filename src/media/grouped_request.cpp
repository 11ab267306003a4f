#include "media/grouped_request.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "common/answer.h"
#include "common/module_log.h"
#include "common/request_input.h"
#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/tk_section.h"
#include "common/vutil.h"

namespace zel::media {
namespace {

// One sub-request. Target, service and parameters are read by the handler before any thread
// starts and then read only by the thread that sends it; `slot` is written by that thread and read
// by the waiting handler, both under `lock`, so that a read at the moment of a time-out sees either
// the prepared pair or the finished one, never half of a VARIANT.
struct SubRequest {
  ScopedVariant request;
  std::wstring target;
  std::wstring service;
  ScopedVariant parameters;
  SubRequestPlaces::Ticket ticket = 0;
  TkSection lock;
  ScopedVariant slot;  // VT_EMPTY until the sub-request has been read
};

// The records of one group, shared by the handler and by every sub-request thread: whoever lets
// go last releases them, which after a time-out is the last thread to end. The group shares the
// channel and the places its records use, so that Close meanwhile cannot take them away.
//
// Sub-requests that can be sent wait in the group's queue, one line per target in input order,
// until there is a place for their target; the handler and every thread done with a sub-request
// take the next that may start. Nothing starts once the time is up or the queue is closed.
class RequestGroup {
 public:
  RequestGroup(std::shared_ptr<const channel::BrokerChannel> channel, std::shared_ptr<SubRequestPlaces> places,
               LONG count)
      : channel_(std::move(channel)), places_(std::move(places)), records_(std::make_unique<SubRequest[]>(count)) {}
  RequestGroup(const RequestGroup&) = delete;
  RequestGroup& operator=(const RequestGroup&) = delete;

  SubRequest& operator[](LONG i) { return records_[i]; }
  const channel::BrokerChannel& Channel() const { return *channel_; }

  // Before any thread starts.
  void Enqueue(LONG i) {
    queued_[records_[i].target].push_back(i);
    ++unfinished_;
  }
  void StartBy(ULONGLONG deadline) { deadline_ = deadline; }

  // The next queued sub-request that may start now, its place taken; -1 when none may.
  LONG TakeStartable() {
    auto guard = lock_.Lock();
    if (closed_ || ::GetTickCount64() >= deadline_) return -1;
    for (auto line = queued_.begin(); line != queued_.end(); ++line) {
      const LONG i = line->second.front();
      if (!places_->TryTake(line->first, &records_[i].ticket)) continue;
      line->second.pop_front();
      if (line->second.empty()) queued_.erase(line);
      return i;
    }
    return -1;
  }

  // Sub-request i has come back, or could not be sent: its place is free again.
  void Finished(LONG i) {
    {
      auto guard = lock_.Lock();
      --unfinished_;
    }
    places_->GiveBack(records_[i].target, records_[i].ticket);
  }
  bool AllFinished() {
    auto guard = lock_.Lock();
    return unfinished_ == 0;
  }
  // What is still queued never starts; answers how many that is.
  LONG Close() {
    auto guard = lock_.Lock();
    closed_ = true;
    LONG left = 0;
    for (const auto& line : queued_) left += static_cast<LONG>(line.second.size());
    unfinished_ -= left;
    queued_.clear();
    return left;
  }

 private:
  std::shared_ptr<const channel::BrokerChannel> channel_;
  std::shared_ptr<SubRequestPlaces> places_;
  std::unique_ptr<SubRequest[]> records_;  // released before the channel and the places
  TkSection lock_;
  std::map<std::wstring, std::deque<LONG>> queued_;  // by target, in input order
  LONG unfinished_ = 0;  // queued or being sent
  bool closed_ = false;
  ULONGLONG deadline_ = 0;
};

constexpr int kDeepestParameters = 32;

// Replaces every reference in `value`, also inside arrays of VARIANT, by a copy of what it points
// at. A sub-request may outlive the call after a time-out, and the caller's referenced memory with
// it; its parameters must then be its own. Nesting deeper than kDeepestParameters (only a
// reference cycle gets there) is refused.
void DetachReferences(VARIANT& value, int depth) {
  if (depth > kDeepestParameters) throw WideError(L"Sub-request parameters nest too deeply");
  if ((V_VT(&value) & VT_BYREF) != 0) {
    ScopedVariant copy;
    if (FAILED(::VariantCopyInd(copy.Get(), &value))) throw WideError(L"Sub-request parameters cannot be copied");
    copy.ReleaseInto(value);  // clearing a reference frees nothing
  }
  if (V_VT(&value) != (VT_ARRAY | VT_VARIANT) || V_ARRAY(&value) == nullptr) return;
  SAFEARRAY* array = V_ARRAY(&value);
  ULONG elements = 1;
  for (UINT d = 0; d < array->cDims; ++d) elements *= array->rgsabound[d].cElements;
  SafeArrayDataLock lock(array);
  if (!lock.Ok()) throw WideError(L"Sub-request parameters cannot be copied");
  VARIANT* items = static_cast<VARIANT*>(lock.Data());
  for (ULONG k = 0; k < elements; ++k) DetachReferences(items[k], depth + 1);
}

// The parameters of a sub-request (its elements from 2 on), made its own. Target and service are
// left as they are: ReadSubRequest refuses them if they are not plain strings.
void DetachParameters(VARIANT& request) {
  if (V_VT(&request) != (VT_ARRAY | VT_VARIANT) || V_ARRAY(&request) == nullptr) return;
  SAFEARRAY* array = V_ARRAY(&request);
  if (array->cDims != 1) return;
  SafeArrayDataLock lock(array);
  if (!lock.Ok()) return;
  VARIANT* items = static_cast<VARIANT*>(lock.Data());
  for (ULONG k = 2; k < array->rgsabound[0].cElements; ++k) DetachReferences(items[k], 0);
}


void Publish(SubRequest& record, ScopedVariant pair) {
  auto guard = record.lock.Lock();
  record.slot.Swap(pair);
}  // the prepared pair that `pair` now holds is cleared outside the lock

LONG ReturnCodeOf(const VARIANT& status) {
  try {
    return VUtil::GetLongElement(status, 0);
  } catch (const WideError&) {
    return -1;
  }
}

// Reads the target, the service and the parameters of a sub-request and prepares its slot; false
// (WARN line, slot left VT_EMPTY) when it cannot be sent.
bool ReadSubRequest(SubRequest& record) try {
  ScopedVariant target;
  ScopedVariant service;
  VUtil::GetElement(*record.request, 0, target.Get());
  VUtil::GetElement(*record.request, 1, service.Get());
  VUtil::GetElement(*record.request, 2, record.parameters.Get());
  record.target = VUtil::StringOf(*target);
  record.service = VUtil::StringOf(*service);
  Publish(record, answer::List(ScopedVariant(), ScopedVariant()));
  return true;
} catch (const WideError& error) {
  // A sub-request that cannot be read leaves its slot empty; the others go on.
  ModuleLog().Warn(L"threadKroRequest exception: %s", error.Message().c_str());
  return false;
}

// Sends one sub-request and publishes what the broker answered.
void SendSubRequest(const channel::BrokerChannel& channel, SubRequest& record) {
  const wchar_t* service = record.service.c_str();
  ModuleLog().Debug(L"Request %ls...", service);
  channel::BrokerChannel::Reply reply;
  try {
    reply = channel.Send(record.target, record.service, *record.parameters);
  } catch (const _com_error& error) {
    // The slot keeps its prepared pair of empty values.
    ModuleLog().Warn(L"threadKroRequest: the broker request %ls failed: hr = 0x%08X", service,
                     static_cast<unsigned>(error.Error()));
    return;
  } catch (const WideError& error) {
    ModuleLog().Warn(L"threadKroRequest exception: %s", error.Message().c_str());
    return;
  }
  ModuleLog().Debug(L"Request %ls returned %d", service, ReturnCodeOf(*reply.status));
  Publish(record, answer::List(std::move(reply.status), std::move(reply.result)));
}

// Has a sender thread send sub-request `first`, then whatever else of the group may start, until
// nothing more may. False when no sender took it.
bool StartSender(SubRequestPlaces& places, const std::shared_ptr<RequestGroup>& group, LONG first) {
  return places.StartSending([group = group, first]() mutable {
    for (LONG i = first; i >= 0; i = group->TakeStartable()) {
      // However the sending ends, the place is given back and the group counts it done.
      const struct Done {
        RequestGroup& group;
        LONG i;
        ~Done() { group.Finished(i); }
      } done{*group, i};
      SendSubRequest(group->Channel(), (*group)[i]);
    }
    group.reset();  // the last sender of a timed-out group releases the records here
  });
}

// Milliseconds left until `deadline` (a GetTickCount64 value), 0 once it has passed.
DWORD RemainingUntil(ULONGLONG deadline) {
  const ULONGLONG now = ::GetTickCount64();
  return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

}  // namespace

GroupRequest DecodeGroupRequest(const VARIANT& input) {
  const input::Elements elements(input);
  const LONG count = elements.Length();
  GroupRequest request;
  request.sub_requests.resize(count);
  for (LONG i = 0; i < count; ++i) {
    if (FAILED(request.sub_requests[i].CopyFrom(elements.At(i)))) {
      throw WideError::Input(L"SafeArrayGetElement failed in VUtil::GetElement");
    }
    DetachParameters(*request.sub_requests[i]);
  }
  return request;
}

LONG MakeGroupedRequest(const std::shared_ptr<const channel::BrokerChannel>& channel,
                        const std::shared_ptr<SubRequestPlaces>& places, GroupRequest request, VARIANT& output,
                        DWORD limit_ms) {
  const LONG count = static_cast<LONG>(request.sub_requests.size());
  if (count < 1) return -1;
  auto group = std::make_shared<RequestGroup>(channel, places, count);
  for (LONG i = 0; i < count; ++i) (*group)[i].request = std::move(request.sub_requests[i]);
  ScopedVariant answer;
  VUtil::CreateArray(answer.Get(), VT_VARIANT, count);
  for (LONG i = 0; i < count; ++i) {
    if (ReadSubRequest((*group)[i])) group->Enqueue(i);
  }

  // The limit covers the whole group, starting included, so that a huge group or a long wait for
  // places cannot hold the request much longer than the limit.
  const ULONGLONG deadline = ::GetTickCount64() + limit_ms;
  group->StartBy(deadline);
  LONG unstarted = 0;
  ModuleLog().Debug(L"Waiting for requests");
  while (!group->AllFinished() && RemainingUntil(deadline) > 0) {
    const uint64_t generation = places->Generation();
    for (LONG i = group->TakeStartable(); i >= 0; i = group->TakeStartable()) {
      if (!StartSender(*places, group, i)) {
        ++unstarted;
        group->Finished(i);
      }
    }
    places->AwaitChange(generation, deadline);
  }
  unstarted += group->Close();
  if (unstarted > 0) {
    ModuleLog().Warn(L"MakeGroupedRequest: %d of %d sub-requests were not started within %u ms "
                     L"(%d of %d places taken); their slots answer empty",
                     static_cast<int>(unstarted), static_cast<int>(count), static_cast<unsigned>(limit_ms),
                     static_cast<int>(places->Taken()), static_cast<int>(places->Cap()));
  }

  if (unstarted > 0 || !group->AllFinished()) ModuleLog().Warn(L"Multi request timed out");
  ModuleLog().Debug(L"Building outparams");
  for (LONG i = 0; i < count; ++i) {
    SubRequest& record = (*group)[i];
    auto guard = record.lock.Lock();
    VUtil::PutElement(*answer, i, *record.slot);
  }
  answer.ReleaseInto(output);
  return 0;
}

}  // namespace zel::media
