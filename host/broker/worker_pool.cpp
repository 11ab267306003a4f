#include "broker/worker_pool.h"

#include <windows.h>
#include <objbase.h>

namespace zelhost {

WorkerPool::WorkerPool(unsigned threads) { SetActive(threads); }

void WorkerPool::SetActive(unsigned threads) {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (stopping_) return;
    active_ = threads > 0 ? threads : 1;
    while (threads_.size() < active_) {
      const unsigned index = static_cast<unsigned>(threads_.size());
      threads_.emplace_back([this, index] { Loop(index); });
    }
  }
  wake_.notify_all();
}

unsigned WorkerPool::Active() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return active_;
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::Run(const std::function<void()>& task) {
  Job job{&task};
  std::unique_lock<zel::TkSection> lock(lock_);
  queue_.push_back(&job);
  wake_.notify_all();  // a thread beyond the active ones would swallow a single notification
  finished_.wait(lock, [&] { return job.done; });
}

void WorkerPool::Loop(unsigned index) {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock<zel::TkSection> lock(lock_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || (index < active_ && !queue_.empty()); });
    if (queue_.empty() || index >= active_) {
      if (stopping_) break;  // the active threads run what is left
      continue;
    }
    Job* job = queue_.front();
    queue_.pop_front();
    lock.unlock();
    (*job->task)();
    lock.lock();
    job->done = true;
    finished_.notify_all();
  }
  lock.unlock();
  ::CoUninitialize();
}

}  // namespace zelhost
