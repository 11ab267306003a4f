#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <vector>

namespace zel {

// How long a worker spins for a short lock before it waits (see TkSection): for the pool's own
// lock and for any other that a thousand workers coming back at once all take.
constexpr DWORD kCrowdedLockSpin = 4000;

// Threads kept for work that mostly waits on another component, so that a burst of such work pays
// for starting threads once: under Wine starting one costs milliseconds, more than the work of
// many calls. At most `most_workers` run at once; work beyond that waits its turn, in order, for
// the first worker that is done. A worker with nothing to do for `idle_ms` ends. Workers belong to
// the multithreaded apartment and reserve `stack_reserve` bytes of stack each, so that a thousand
// of them fit the address space of a 32-bit process.
//
// Destroying the pool ends idle workers at once and starts no more; a busy worker finishes its
// work, and whatever is still queued, and then ends. Workers hold the module while they run (see
// StartModuleThread), so the pool may go with Close while a call in another component still waits.
// Thread-safe.
class WorkerPool {
 public:
  WorkerPool(LONG most_workers, DWORD idle_ms, unsigned stack_reserve);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Hands each item of `work`, in order, to an idle worker, to a new one, or to the queue when
  // `most_workers` are busy. Answers how many items were taken: all of them, or, when the pool is
  // going or no worker runs and none could start, only those before the first refused (the
  // refused and later ones are left in `work`, nothing of them queued). Handing a batch at once
  // wakes its idle workers with one call. Exceptions do not escape an item.
  size_t Run(std::vector<std::function<void()>>& work);
  bool Run(std::function<void()> work);

  // Workers alive, busy or idle.
  LONG Workers() const;

 private:
  struct Shared;
  // Queues work[from, to) under the pool's lock; answers how many idle workers to wake for it.
  size_t Queue(std::vector<std::function<void()>>& work, size_t from, size_t to);
  static void Work(const std::shared_ptr<Shared>& shared, std::function<void()> work);
  // The next item for a worker that is done with one, after waiting for it while the pool lasts
  // and the worker's idle time allows; false when the worker is to end.
  static bool NextItem(Shared& shared, std::function<void()>& work);

  std::shared_ptr<Shared> shared_;  // also held by every worker, which may outlive the pool
};

}  // namespace zel
