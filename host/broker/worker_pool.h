#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/tk_section.h"

namespace zelhost {

// A fixed set of threads, each in COM's multithreaded apartment, on which the broker raises its
// events. Run() blocks its caller until the task has run on one of them.
class WorkerPool {
 public:
  explicit WorkerPool(unsigned threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  void Run(const std::function<void()>& task);

 private:
  struct Job {
    const std::function<void()>* task;
    bool done = false;
  };
  void Loop();

  zel::TkSection lock_;
  std::condition_variable_any wake_;
  std::condition_variable_any finished_;
  std::deque<Job*> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace zelhost
