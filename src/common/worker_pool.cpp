#include "common/worker_pool.h"

#include <deque>
#include <utility>

#include "common/module_thread.h"
#include "common/unique_handle.h"

namespace zel {

// The pool's state, under `lock`. A slim reader/writer lock and a condition variable of the
// platform, rather than the C++ library's, which on this toolchain wait on kernel semaphores: a
// hand-over per sub-request must not cost a kernel call when a worker is already awake.
struct WorkerPool::Shared {
  Shared(LONG most, DWORD idle, unsigned stack) : most_workers(most), idle_ms(idle), stack_reserve(stack) {}

  const LONG most_workers;
  const DWORD idle_ms;
  const unsigned stack_reserve;
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
  std::deque<std::function<void()>> queue;
  LONG workers = 0;  // alive
  LONG idle = 0;     // waiting on `wake`
  bool going = false;
};

namespace {

class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK& lock) noexcept : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
  ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK& lock_;
};

}  // namespace

WorkerPool::WorkerPool(LONG most_workers, DWORD idle_ms, unsigned stack_reserve)
    : shared_(std::make_shared<Shared>(most_workers < 1 ? 1 : most_workers, idle_ms, stack_reserve)) {}

WorkerPool::~WorkerPool() {
  {
    ExclusiveLock guard(shared_->lock);
    shared_->going = true;
  }
  ::WakeAllConditionVariable(&shared_->wake);
}

bool WorkerPool::Run(std::function<void()> work) {
  {
    ExclusiveLock guard(shared_->lock);
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

  ExclusiveLock guard(shared_->lock);
  --shared_->workers;
  if (shared_->workers > 0) return true;  // queued for the workers there are
  // No worker can take it: what this call queued is still at the back, since nobody took anything.
  shared_->queue.pop_back();
  return false;
}

LONG WorkerPool::Workers() const {
  ExclusiveLock guard(shared_->lock);
  return shared_->workers;
}

void WorkerPool::Work(const std::shared_ptr<Shared>& shared) {
  const UniqueComApartment apartment = JoinMultithreadedApartment();
  ::AcquireSRWLockExclusive(&shared->lock);
  for (;;) {
    if (!shared->queue.empty()) {
      std::function<void()> work = std::move(shared->queue.front());
      shared->queue.pop_front();
      ::ReleaseSRWLockExclusive(&shared->lock);
      try {
        work();
      } catch (...) {
        // One item's failure is its own; the worker goes on with the next.
      }
      work = nullptr;  // what it holds is released outside the lock
      ::AcquireSRWLockExclusive(&shared->lock);
      continue;
    }
    if (shared->going) break;
    ++shared->idle;
    const BOOL woken = ::SleepConditionVariableSRW(&shared->wake, &shared->lock, shared->idle_ms, 0);
    --shared->idle;
    if (!woken && shared->queue.empty()) break;  // idle too long
  }
  --shared->workers;
  ::ReleaseSRWLockExclusive(&shared->lock);
}

}  // namespace zel
