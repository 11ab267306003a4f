#include "common/worker_pool.h"

#include <deque>
#include <utility>

#include "common/module_thread.h"
#include "common/tk_section.h"
#include "common/unique_handle.h"

namespace zel {

// The pool's state, under `lock`. Waiting is on a condition variable of the platform rather than
// the C++ library's, which on this toolchain waits on kernel semaphores: handing an item to a
// worker that is already there must not cost a kernel call. The lock is a critical section, not a
// slim lock: when a thousand workers finish at once they all come back for more, and under Wine a
// contended slim lock does far worse than a critical section.
struct WorkerPool::Shared {
  Shared(LONG most, DWORD idle, unsigned stack) : most_workers(most), idle_ms(idle), stack_reserve(stack) {}

  const LONG most_workers;
  const DWORD idle_ms;
  const unsigned stack_reserve;
  TkSection lock;
  CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
  std::deque<std::function<void()>> queue;
  LONG workers = 0;  // alive
  LONG idle = 0;     // waiting on `wake`
  bool going = false;
};

WorkerPool::WorkerPool(LONG most_workers, DWORD idle_ms, unsigned stack_reserve)
    : shared_(std::make_shared<Shared>(most_workers < 1 ? 1 : most_workers, idle_ms, stack_reserve)) {}

WorkerPool::~WorkerPool() {
  {
    auto guard = shared_->lock.Lock();
    shared_->going = true;
  }
  ::WakeAllConditionVariable(&shared_->wake);
}

bool WorkerPool::Run(std::function<void()> work) {
  {
    auto guard = shared_->lock.Lock();
    if (shared_->going) return false;
    shared_->queue.push_back(std::move(work));
    // Every idle worker that is woken takes one item; only work beyond them needs a new worker.
    if (static_cast<LONG>(shared_->queue.size()) <= shared_->idle) {
      ::WakeConditionVariable(&shared_->wake);
      return true;
    }
    if (shared_->workers >= shared_->most_workers) return true;  // the first worker done takes it
    ++shared_->workers;
  }
  // Started outside the lock: starting a thread is the slow part, and workers must not wait on it.
  std::shared_ptr<Shared> shared = shared_;
  if (StartModuleThread([shared] { Work(shared); }, shared_->stack_reserve)) return true;

  auto guard = shared_->lock.Lock();
  --shared_->workers;
  if (shared_->workers > 0) return true;  // queued for the workers there are
  // No worker can take it: what this call queued is still at the back, since nobody took anything.
  shared_->queue.pop_back();
  return false;
}

LONG WorkerPool::Workers() const {
  auto guard = shared_->lock.Lock();
  return shared_->workers;
}

void WorkerPool::Work(const std::shared_ptr<Shared>& shared) {
  const UniqueComApartment apartment = JoinMultithreadedApartment();
  shared->lock.Enter();
  for (;;) {
    if (!shared->queue.empty()) {
      std::function<void()> work = std::move(shared->queue.front());
      shared->queue.pop_front();
      shared->lock.Leave();
      try {
        work();
      } catch (...) {
        // One item's failure is its own; the worker goes on with the next.
      }
      work = nullptr;  // what it holds is released outside the lock
      shared->lock.Enter();
      continue;
    }
    if (shared->going) break;
    ++shared->idle;
    const bool woken = shared->lock.SleepOn(shared->wake, shared->idle_ms);
    --shared->idle;
    if (!woken && shared->queue.empty()) break;  // idle too long
  }
  --shared->workers;
  shared->lock.Leave();
}

}  // namespace zel
