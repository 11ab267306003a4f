#include "media/grouped_request.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/answer.h"
#include "common/request_input.h"
#include "common/module_log.h"
#include "common/module_thread.h"
#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/tk_section.h"
#include "common/unique_handle.h"
#include "common/vutil.h"

namespace zel::media {
namespace {

// One sub-request. `request` is written before its thread starts and read only by that thread;
// `slot` is written by the thread and read by the waiting handler, both under `lock`, so that a
// read at the moment of a time-out sees either the prepared pair or the finished one, never half
// of a VARIANT.
struct SubRequest {
  const channel::BrokerChannel* channel = nullptr;
  ScopedVariant request;
  TkSection lock;
  ScopedVariant slot;  // VT_EMPTY until the thread has read its sub-request
};

// The records of one group, shared by the handler and by every sub-request thread: whoever lets
// go last releases them, which after a time-out is the last thread to end. The group shares the
// channel its records name, so that Close meanwhile cannot take it away.
class RequestGroup {
 public:
  RequestGroup(std::shared_ptr<const channel::BrokerChannel> channel, LONG count)
      : channel_(std::move(channel)), records_(std::make_unique<SubRequest[]>(count)) {
    for (LONG i = 0; i < count; ++i) records_[i].channel = channel_.get();
  }
  RequestGroup(const RequestGroup&) = delete;
  RequestGroup& operator=(const RequestGroup&) = delete;

  SubRequest& operator[](LONG i) { return records_[i]; }

 private:
  std::shared_ptr<const channel::BrokerChannel> channel_;
  std::unique_ptr<SubRequest[]> records_;  // released before the channel
};

// Sub-request threads running now, in every group, and how many may; module-wide on purpose.
std::atomic<LONG> running_sub_requests{0};
std::atomic<LONG> sub_request_cap{kMostRunningSubRequests};

// Counts a running sub-request thread out when it ends, however it ends.
struct RunningSubRequest {
  ~RunningSubRequest() { running_sub_requests.fetch_sub(1); }
};

// Counts a thread in, or refuses it when the cap is reached.
bool ReserveSubRequestThread() {
  if (running_sub_requests.fetch_add(1) < sub_request_cap.load()) return true;
  running_sub_requests.fetch_sub(1);
  return false;
}

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
// left as they are: the sub-request's thread refuses them if they are not plain strings.
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

// The body of a sub-request's thread.
void RunSubRequest(SubRequest& record) try {
  ScopedVariant target;
  ScopedVariant service;
  ScopedVariant parameters;
  VUtil::GetElement(*record.request, 0, target.Get());
  VUtil::GetElement(*record.request, 1, service.Get());
  VUtil::GetElement(*record.request, 2, parameters.Get());
  const std::wstring target_name = VUtil::StringOf(*target);
  const std::wstring service_name = VUtil::StringOf(*service);
  Publish(record, answer::List(ScopedVariant(), ScopedVariant()));

  ModuleLog().Debug(L"Request %ls...", service_name.c_str());
  channel::BrokerChannel::Reply reply;
  try {
    reply = record.channel->Send(target_name, service_name, *parameters);
  } catch (const _com_error& error) {
    // The slot keeps its prepared pair of empty values.
    ModuleLog().Warn(L"threadKroRequest: the broker request %ls failed: hr = 0x%08X", service_name.c_str(),
                     static_cast<unsigned>(error.Error()));
    return;
  }
  ModuleLog().Debug(L"Request %ls returned %d", service_name.c_str(), reply.Code());
  Publish(record, answer::List(std::move(reply.status), std::move(reply.result)));
} catch (const WideError& error) {
  // A sub-request that cannot be read leaves its slot empty; the others go on.
  ModuleLog().Warn(L"threadKroRequest exception: %s", error.Message().c_str());
}

// Milliseconds left until `deadline` (a GetTickCount64 value), 0 once it has passed.
DWORD RemainingUntil(ULONGLONG deadline) {
  const ULONGLONG now = ::GetTickCount64();
  return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Waits until every thread has ended, at most MAXIMUM_WAIT_OBJECTS handles at a time, all batches
// within the one deadline. False when it passed (or a wait failed) before all had ended.
bool WaitForAll(const std::vector<UniqueKernelHandle>& threads, ULONGLONG deadline) {
  std::vector<HANDLE> batch;
  for (size_t first = 0; first < threads.size(); first += MAXIMUM_WAIT_OBJECTS) {
    const size_t end = std::min<size_t>(threads.size(), first + MAXIMUM_WAIT_OBJECTS);
    batch.clear();
    for (size_t i = first; i < end; ++i) batch.push_back(threads[i].Get());
    const DWORD outcome =
        ::WaitForMultipleObjects(static_cast<DWORD>(batch.size()), batch.data(), TRUE, RemainingUntil(deadline));
    if (outcome >= WAIT_OBJECT_0 + batch.size()) return false;
  }
  return true;
}

}  // namespace

LONG SetSubRequestThreadCap(LONG cap) { return sub_request_cap.exchange(cap); }

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

LONG MakeGroupedRequest(const std::shared_ptr<const channel::BrokerChannel>& channel, GroupRequest request,
                        VARIANT& output) {
  return MakeGroupedRequestWithin(channel, std::move(request), output, kGroupTimeLimitMs);
}

LONG MakeGroupedRequestWithin(const std::shared_ptr<const channel::BrokerChannel>& channel, GroupRequest request,
                              VARIANT& output, DWORD limit_ms) {
  const LONG count = static_cast<LONG>(request.sub_requests.size());
  if (count < 1) return -1;
  auto group = std::make_shared<RequestGroup>(channel, count);
  for (LONG i = 0; i < count; ++i) (*group)[i].request = std::move(request.sub_requests[i]);
  ScopedVariant answer;
  VUtil::CreateArray(answer.Get(), VT_VARIANT, count);

  // The limit covers the whole group, starting the threads included, so that a huge group cannot
  // hold the request much longer than the limit: threads not started by then never start.
  const ULONGLONG deadline = ::GetTickCount64() + limit_ms;
  std::vector<UniqueKernelHandle> threads;
  threads.reserve(count);
  LONG unstarted = 0;
  LONG refused = 0;
  bool out_of_time = false;
  for (LONG i = 0; i < count; ++i) {
    out_of_time = out_of_time || RemainingUntil(deadline) == 0;
    if (!out_of_time && !ReserveSubRequestThread()) {
      Publish((*group)[i], answer::List(ScopedVariant(), ScopedVariant()));
      ++refused;
      continue;
    }
    UniqueKernelHandle thread;
    if (!out_of_time) {
      thread = StartModuleThread([group, i]() mutable {
        RunningSubRequest counted;
        const UniqueComApartment apartment = JoinMultithreadedApartment();
        RunSubRequest((*group)[i]);
        group.reset();  // the last thread of a timed-out group releases the records here
      });
      if (!thread) running_sub_requests.fetch_sub(1);
    }
    if (thread) {
      threads.push_back(std::move(thread));
    } else {
      ++unstarted;
    }
  }
  if (refused > 0) {
    ModuleLog().Warn(L"MakeGroupedRequest: %d of %d sub-requests refused: %d sub-request threads are running already",
                     refused, count, static_cast<int>(sub_request_cap.load()));
  }
  if (unstarted > 0) {
    ModuleLog().Warn(L"MakeGroupedRequest: %d of %d sub-requests got no thread; their slots stay empty", unstarted,
                     count);
  }

  ModuleLog().Debug(L"Waiting for requests");
  if (out_of_time || !WaitForAll(threads, deadline)) ModuleLog().Warn(L"Multi request timed out");
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
