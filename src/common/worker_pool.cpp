#include "common/worker_pool.h"

#include <algorithm>
#include <climits>
#include <deque>
#include <utility>

#include "common/module_thread.h"
#include "common/tk_section.h"
#include "common/unique_handle.h"

namespace zel {

// The pool's state, under `lock`. Idle workers wait on a kernel semaphore, one release for each
// item handed to them. Under Wine the platform's condition variables and slim locks are built on
// a spin lock in user space: when a thousand workers go idle or are woken together on two cores,
// the holder is preempted among the spinners and sleeping threads wake seconds late. A semaphore
// wait is a call to the Wine server, dearer per wake but without that collapse, and a batch of
// items wakes its workers with a single release.
struct WorkerPool::Shared {
  Shared(LONG most, DWORD idle, unsigned stack)
      : most_workers(most), idle_ms(idle), stack_reserve(stack), wake(::CreateSemaphoreW(nullptr, 0, LONG_MAX, nullptr)) {}

  const LONG most_workers;
  const DWORD idle_ms;
  const unsigned stack_reserve;
  TkSection lock{kCrowdedLockSpin};
  const UniqueKernelHandle wake;
  std::deque<std::function<void()>> queue;
  LONG workers = 0;  // alive
  // Workers waiting on `wake` less the releases not yet taken: how many more may be woken.
  LONG unwoken = 0;
  bool going = false;
};

WorkerPool::WorkerPool(LONG most_workers, DWORD idle_ms, unsigned stack_reserve)
    : shared_(std::make_shared<Shared>(most_workers < 1 ? 1 : most_workers, idle_ms, stack_reserve)) {}

WorkerPool::~WorkerPool() {
  LONG waiting = 0;
  {
    auto guard = shared_->lock.Lock();
    shared_->going = true;
    waiting = shared_->unwoken;
    shared_->unwoken = 0;
  }
  if (waiting > 0) ::ReleaseSemaphore(shared_->wake.Get(), waiting, nullptr);
}

bool WorkerPool::Run(std::function<void()> work) {
  std::vector<std::function<void()>> one;
  one.push_back(std::move(work));
  return Run(one) == 1;
}

size_t WorkerPool::Queue(std::vector<std::function<void()>>& work, size_t from, size_t to) {
  Shared& shared = *shared_;
  for (size_t i = from; i < to; ++i) shared.queue.push_back(std::move(work[i]));
  const size_t to_wake = std::min<size_t>(static_cast<size_t>(shared.unwoken), to - from);
  shared.unwoken -= static_cast<LONG>(to_wake);
  return to_wake;
}

size_t WorkerPool::Run(std::vector<std::function<void()>>& work) {
  Shared& shared = *shared_;
  const size_t count = work.size();
  size_t woken = 0;
  size_t to_start = 0;
  {
    auto guard = shared.lock.Lock();
    if (shared.going || !shared.wake) return 0;
    // Idle workers take the first items; only work beyond them needs new workers.
    woken = Queue(work, 0, std::min<size_t>(static_cast<size_t>(shared.unwoken), count));
    to_start = std::min<size_t>(count - woken, static_cast<size_t>(shared.most_workers - shared.workers));
    shared.workers += static_cast<LONG>(to_start);
  }
  if (woken > 0) ::ReleaseSemaphore(shared.wake.Get(), static_cast<LONG>(woken), nullptr);

  // Each new worker starts with an item of its own, outside the lock: starting a thread is the slow
  // part, and workers must not wait on it.
  size_t started = 0;
  for (; started < to_start; ++started) {
    auto item = std::make_shared<std::function<void()>>(std::move(work[woken + started]));
    if (!StartModuleThread([shared = shared_, item] { Work(shared, std::move(*item)); }, shared.stack_reserve)) {
      work[woken + started] = std::move(*item);
      break;
    }
  }
  const size_t handed = woken + started;
  LONG more_to_wake = 0;
  {
    auto guard = shared.lock.Lock();
    shared.workers -= static_cast<LONG>(to_start - started);
    // The rest waits in the queue for the first worker done, as long as there is one to take it.
    if (handed == count || shared.workers == 0) {
      if (handed < count) return handed;
      work.clear();
      return count;
    }
    more_to_wake = static_cast<LONG>(Queue(work, handed, count));
  }
  if (more_to_wake > 0) ::ReleaseSemaphore(shared.wake.Get(), more_to_wake, nullptr);
  work.clear();
  return count;
}

LONG WorkerPool::Workers() const {
  auto guard = shared_->lock.Lock();
  return shared_->workers;
}

void WorkerPool::Work(const std::shared_ptr<Shared>& shared, std::function<void()> work) {
  const UniqueComApartment apartment = JoinMultithreadedApartment();
  for (;;) {
    try {
      work();
    } catch (...) {
      // One item's failure is its own; the worker goes on with the next.
    }
    work = nullptr;  // what it holds is released outside the lock
    if (!NextItem(*shared, work)) break;
  }
}

bool WorkerPool::NextItem(Shared& shared, std::function<void()>& work) {
  auto guard = shared.lock.Lock();
  for (;;) {
    if (!shared.queue.empty()) {
      work = std::move(shared.queue.front());
      shared.queue.pop_front();
      return true;
    }
    if (shared.going) break;
    ++shared.unwoken;
    shared.lock.Leave();
    DWORD waited = ::WaitForSingleObject(shared.wake.Get(), shared.idle_ms);
    shared.lock.Enter();
    if (waited == WAIT_OBJECT_0) continue;
    if (shared.unwoken == 0) {
      // Every waiter, this one among them, is owed a release that is on its way: take it.
      shared.lock.Leave();
      waited = ::WaitForSingleObject(shared.wake.Get(), INFINITE);
      shared.lock.Enter();
      continue;
    }
    --shared.unwoken;  // idle too long: no longer to be woken
    if (shared.queue.empty()) break;
  }
  --shared.workers;
  return false;
}

}  // namespace zel
