// "GenerateCrash" in a child zelhost.exe: the host's crash handling writes a FATAL line to the
// shared error log and a minidump into the logs folder, and ends with its own exit status.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zeltest::HostRun;
using zeltest::RunHost;

constexpr DWORD kExitCrashed = 4;

std::wstring LogsFolder() {
  std::wstring root;
  zel::GetCommonAppDataFolder(&root);
  return root + L"\\RodEzeduduv\\Logs\\";
}

std::vector<std::string> CrashLines(const std::wstring& log) {
  std::vector<std::string> found;
  for (const std::string& line : zeltest::ReadLines(LogsFolder() + log)) {
    if (line.find("zelhost crashed: exception") != std::string::npos) found.push_back(line);
  }
  return found;
}

bool ModuleLogHas(const std::string& text) {
  for (const std::string& line : zeltest::ReadLines(LogsFolder() + L"ZovIdivariRuder.log")) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

struct Crash {
  std::string error_line;  // the FATAL line of the shared error log
  std::string host_line;   // the same in the host's own log
  std::string dump;        // the minidump's first bytes
};

// Runs GenerateCrash with `input` and collects what the crash left behind; the minidump is
// removed afterwards.
Crash RunCrash(const std::wstring& input) {
  const size_t error_lines = CrashLines(L"VizOderiv.log").size();
  const size_t host_lines = CrashLines(L"zelhost.log").size();
  const HostRun run = RunHost({L"call", L"GenerateCrash", input});
  EXPECT_EQ(run.exit_code, kExitCrashed) << zeltest::Narrow(input) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("zelhost: crashed with exception"), std::string::npos) << run.err;
  Crash crash;
  const std::vector<std::string> errors = CrashLines(L"VizOderiv.log");
  const std::vector<std::string> hosts = CrashLines(L"zelhost.log");
  if (errors.size() != error_lines + 1 || hosts.size() != host_lines + 1) {
    ADD_FAILURE() << "expected one new FATAL line in each log";
    return crash;
  }
  crash.error_line = errors.back();
  crash.host_line = hosts.back();
  const size_t named = crash.error_line.find("; minidump ");
  EXPECT_NE(named, std::string::npos) << crash.error_line;
  if (named == std::string::npos) return crash;
  const std::wstring dump_path = zel::Utf8ToWide(crash.error_line.substr(named + 11));
  EXPECT_EQ(dump_path.rfind(LogsFolder() + L"zelhost-", 0), 0u) << crash.error_line;
  crash.dump = zeltest::ReadBytes(dump_path);
  ::DeleteFileW(dump_path.c_str());
  return crash;
}

TEST(CrashEndToEndTest, MemoryFaultsAreWrittenDownAndEndTheHost) {
  // Each run writes a minidump, which takes Wine a few seconds: one number and one non-number.
  for (const std::wstring& input : {std::wstring(L"7"), std::wstring(L"\"two\"")}) {
    const Crash crash = RunCrash(input);
    EXPECT_NE(crash.error_line.find(" - zelhost - zelhost crashed: exception 0xC0000005 (access violation)"),
              std::string::npos)
        << crash.error_line;
    EXPECT_NE(crash.host_line.find("[FATAL]"), std::string::npos) << crash.host_line;
    EXPECT_EQ(crash.dump.substr(0, 4), "MDMP");
    EXPECT_GT(crash.dump.size(), 1000u);
  }
  EXPECT_TRUE(ModuleLogHas("[ERROR] - GenerateCrash: writing through a null pointer, as asked (mode 7)"));
}

TEST(CrashEndToEndTest, RuntimeLibraryFaultsTakeTheSameWay) {
  const Crash crash = RunCrash(L"2");
  // A runtime that calls its invalid-parameter handler reports that; one that only returns an
  // error code (Wine's) is made to abort.
  const bool invalid_parameter =
      crash.error_line.find("exception 0xC0000417 (invalid parameter to the runtime library)") != std::string::npos;
  const bool abort = crash.error_line.find("exception 0x40000015 (abort)") != std::string::npos;
  EXPECT_TRUE(invalid_parameter || abort) << crash.error_line;
  EXPECT_EQ(crash.dump.substr(0, 4), "MDMP");
  EXPECT_TRUE(ModuleLogHas("[ERROR] - GenerateCrash: handing the runtime library an invalid parameter, as asked"));
}

}  // namespace
}  // namespace zelhost
