#include "media/grouped_request.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/answer.h"
#include "common/module_log.h"
#include "common/request_input.h"
#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/vutil.h"
#include "media/request_group.h"

namespace zel::media {
namespace {

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

// Moves what the broker answered into the slot's prepared pair, in place, so that a sender on its
// way back allocates and frees nothing here (see RequestGroup on why that way must stay light).
// Once the handler has taken the slot (after a time-out), the answer is dropped.
void Publish(SubRequest& record, ScopedVariant& status, ScopedVariant& result) {
  auto guard = record.lock.Lock();
  if (V_VT(record.slot.Get()) != (VT_ARRAY | VT_VARIANT)) return;
  SafeArrayDataLock pair(V_ARRAY(record.slot.Get()));
  if (!pair.Ok()) return;
  status.ReleaseInto(static_cast<VARIANT*>(pair.Data())[0]);
  result.ReleaseInto(static_cast<VARIANT*>(pair.Data())[1]);
}

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
  ScopedVariant pair = answer::List(ScopedVariant(), ScopedVariant());
  auto guard = record.lock.Lock();
  record.slot.Swap(pair);
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
  Publish(record, reply.status, reply.result);
}

// What a sender thread runs: sub-request `first`, then whatever else of the group may start, until
// nothing more may.
std::function<void()> Sender(const std::shared_ptr<RequestGroup>& group, LONG first) {
  return [group = group, first]() mutable {
    for (LONG i = first; i >= 0; i = group->Finished(i)) {
      try {
        SendSubRequest(group->Channel(), (*group)[i]);
      } catch (...) {
        // However the sending ended, the place goes on and the group counts the sub-request done.
      }
    }
    group.reset();  // the last sender of a timed-out group releases the records here
  };
}

// Starts every sub-request of the group that may start now, on senders woken together; answers how
// many could not be started (no sender took them).
LONG StartWhatMayStart(SubRequestPlaces& places, const std::shared_ptr<RequestGroup>& group) {
  const std::vector<LONG> startable = group->TakeStartable();
  std::vector<std::function<void()>> senders;
  senders.reserve(startable.size());
  for (const LONG i : startable) senders.push_back(Sender(group, i));
  const size_t started = places.StartSending(senders);
  for (size_t k = started; k < startable.size(); ++k) group->NotStarted(startable[k]);
  return static_cast<LONG>(startable.size() - started);
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
    unstarted += StartWhatMayStart(*places, group);
    if (group->AnyQueued() || !group->AwaitAllFinished(RemainingUntil(deadline))) {
      places->AwaitChange(generation, deadline);
    }
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
  {
    // The slots move into the answer; a sender still out after a time-out then finds its slot gone.
    SafeArrayDataLock slots(V_ARRAY(answer.Get()));
    if (!slots.Ok()) throw WideError(L"SafeArrayAccessData failed");
    for (LONG i = 0; i < count; ++i) {
      SubRequest& record = (*group)[i];
      auto guard = record.lock.Lock();
      record.slot.ReleaseInto(static_cast<VARIANT*>(slots.Data())[i]);
    }
  }
  answer.ReleaseInto(output);
  return 0;
}

}  // namespace zel::media
