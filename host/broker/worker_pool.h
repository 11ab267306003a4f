#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/tk_section.h"

namespace zelhost {

// Threads, each in COM's multithreaded apartment, on which the broker raises its events, at most
// Active() of them at once. Run() blocks its caller until the task has run on one of them.
class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Run(const std::function<void()>& task);
  // How many tasks may run at once from now on (at least 1). Threads are added when it grows; when
  // it shrinks, the threads beyond it finish what they run and then stay idle.
  void SetActive(unsigned threads);
  unsigned Active() const;

 private:
  struct Job {
    const std::function<void()>* task;
    bool done = false;
  };
  void Loop(unsigned index);

  mutable zel::TkSection lock_;
  std::condition_variable_any wake_;
  std::condition_variable_any finished_;
  std::deque<Job*> queue_;
  bool stopping_ = false;
  unsigned active_ = 0;
  std::vector<std::thread> threads_;
};

}  // namespace zelhost
