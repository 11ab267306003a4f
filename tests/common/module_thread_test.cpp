#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "common/module_thread.h"

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
