#include "broker/worker_pool.h"

#include <windows.h>
#include <objbase.h>

namespace zelhost {

WorkerPool::WorkerPool(unsigned threads) {
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Loop(); });
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
  wake_.notify_one();
  finished_.wait(lock, [&] { return job.done; });
}

void WorkerPool::Loop() {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::unique_lock<zel::TkSection> lock(lock_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) break;  // stopping, and nothing left to run
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
