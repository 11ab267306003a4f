#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "common/module_thread.h"

namespace zel {
namespace {

TEST(ModuleThreadTest, RunsTheBodyKeepsTheModuleLoadedAndSwallowsExceptions) {
  std::atomic<int> runs{0};
  HMODULE self = nullptr;
  ASSERT_TRUE(::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&StartModuleThread), &self));
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
  // The references the threads took are given back: the module is still the one we found.
  HMODULE after = nullptr;
  EXPECT_TRUE(::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&StartModuleThread), &after));
  EXPECT_EQ(after, self);
}

}  // namespace
}  // namespace zel
