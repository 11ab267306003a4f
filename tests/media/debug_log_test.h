#pragma once

#include <gtest/gtest.h>

#include "common/module_log.h"

namespace zeltest {

// Runs a test with every module log line written. The log opens its file at its first line, so one
// is written here: counting lines before a test's own then reads the file that it will write to.
class DebugLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::ModuleLog().SetLevel(zel::CTkLog::kDebug);
    zel::ModuleLog().Debug(L"test %hs", ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override { zel::ModuleLog().SetLevel(zel::CTkLog::kError); }
};

}  // namespace zeltest
