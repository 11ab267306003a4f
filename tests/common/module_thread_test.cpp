#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "common/module_thread.h"
#include "common/tk_section.h"
#include "common/worker_pool.h"

namespace zel {
namespace {

TEST(ModuleThreadTest, RunsTheBodyAndSwallowsExceptions) {
  std::atomic<int> runs{0};
  UniqueKernelHandle first = StartModuleThread([&] { ++runs; });
  UniqueKernelHandle second = StartModuleThread([&] {
    ++runs;
    throw std::runtime_error("must not end the process");
  });
  ASSERT_TRUE(first && second);
  HANDLE both[] = {first.Get(), second.Get()};
  EXPECT_EQ(::WaitForMultipleObjects(2, both, TRUE, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(runs.load(), 2);
  DWORD code = 1;
  EXPECT_TRUE(::GetExitCodeThread(second.Get(), &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace zel

namespace zel {
namespace {

// What the pool's work saw: how many items ran at once at most, and in which order they started.
struct PoolRecord {
  TkSection lock;
  std::vector<int> started;
  int running = 0;
  int most_running = 0;
};

TEST(WorkerPoolTest, KeepsToItsWorkersReusesThemAndRunsTheQueueInOrder) {
  PoolRecord record;
  UniqueKernelHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueKernelHandle all_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  constexpr int kItems = 8;
  WorkerPool pool(2, 10000, 256u << 10);
  for (int i = 0; i < kItems; ++i) {
    ASSERT_TRUE(pool.Run([&, i] {
      {
        auto guard = record.lock.Lock();
        record.started.push_back(i);
        record.most_running = std::max(record.most_running, ++record.running);
      }
      ::WaitForSingleObject(gate.Get(), 10000);
      auto guard = record.lock.Lock();
      --record.running;
      if (record.started.size() == kItems && record.running == 0) ::SetEvent(all_done.Get());
      if (i == 3) throw std::runtime_error("one item's failure must not end its worker");
    }));
  }
  EXPECT_EQ(pool.Workers(), 2);
  // Both workers busy before the gate opens: a third item must not have started meanwhile.
  for (int waited = 0; waited < 10000; waited += 5) {
    {
      auto guard = record.lock.Lock();
      if (record.started.size() >= 2) break;
    }
    ::Sleep(5);
  }
  ::Sleep(50);
  ::SetEvent(gate.Get());
  ASSERT_EQ(::WaitForSingleObject(all_done.Get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(record.most_running, 2);
  // Two workers take from one queue: whatever order they start in, each item starts once and
  // none starts before an item queued two places ahead of it.
  ASSERT_EQ(record.started.size(), static_cast<size_t>(kItems));
  for (int k = 0; k < kItems; ++k) EXPECT_LE(std::abs(record.started[k] - k), 1) << "item " << record.started[k];
  // Done workers wait for more instead of ending, and take it without a new thread.
  UniqueKernelHandle again(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(pool.Run([&] { ::SetEvent(again.Get()); }));
  EXPECT_EQ(::WaitForSingleObject(again.Get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(pool.Workers(), 2);
}

// Batches handed from several threads at once to a pool whose workers go idle and end after a
// millisecond, so that releases of the wake and idle ends cross all the time: every item runs
// once, none is lost or run twice, nothing hangs, and the workers end when the work does.
TEST(WorkerPoolTest, BatchesFromManyThreadsAllRunWhileWorkersComeAndGo) {
  WorkerPool pool(3, 1, 0);
  constexpr int kThreads = 4;
  constexpr int kBatches = 150;
  std::atomic<int> ran{0};
  std::atomic<int> handed{0};
  std::vector<UniqueKernelHandle> feeders;
  for (int t = 0; t < kThreads; ++t) {
    feeders.push_back(StartModuleThread([&, t] {
      for (int b = 0; b < kBatches; ++b) {
        std::vector<std::function<void()>> batch((b * 7 + t) % 5 + 1, [&] { ++ran; });
        const size_t size = batch.size();
        if (pool.Run(batch) == size && batch.empty()) handed += static_cast<int>(size);
        if (b % 16 == 0) ::Sleep(2);  // let the workers go idle, and some end
      }
    }));
    ASSERT_TRUE(feeders.back());
  }
  for (const auto& feeder : feeders) ASSERT_EQ(::WaitForSingleObject(feeder.Get(), 30000), WAIT_OBJECT_0);
  EXPECT_EQ(handed.load(), kThreads * kBatches * 3);  // the sizes 1..5 average 3 over each run of 5
  for (int waited = 0; ran.load() < handed.load() && waited < 30000; waited += 10) ::Sleep(10);
  EXPECT_EQ(ran.load(), handed.load());
  for (int waited = 0; pool.Workers() > 0 && waited < 10000; waited += 10) ::Sleep(10);
  EXPECT_EQ(pool.Workers(), 0);
}

TEST(WorkerPoolTest, IdleWorkersEndAndAGoingPoolStillRunsWhatItQueued) {
  WorkerPool idle(4, 50, 0);
  UniqueKernelHandle ran(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(idle.Run([&] { ::SetEvent(ran.Get()); }));
  ASSERT_EQ(::WaitForSingleObject(ran.Get(), 10000), WAIT_OBJECT_0);
  for (int waited = 0; idle.Workers() > 0 && waited < 10000; waited += 10) ::Sleep(10);
  EXPECT_EQ(idle.Workers(), 0);

  // The one worker is busy when the pool goes; the item queued behind it still runs, on it.
  UniqueKernelHandle gate(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueKernelHandle queued_ran(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  auto going = std::make_unique<WorkerPool>(1, 10000, 0);
  ASSERT_TRUE(going->Run([&] { ::WaitForSingleObject(gate.Get(), 10000); }));
  ASSERT_TRUE(going->Run([&] { ::SetEvent(queued_ran.Get()); }));
  going.reset();
  ::SetEvent(gate.Get());
  EXPECT_EQ(::WaitForSingleObject(queued_ran.Get(), 10000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace zel
