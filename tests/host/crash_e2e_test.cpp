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

using zeltest::LinesWith;
using zeltest::LogsFolder;

constexpr DWORD kExitCrashed = 4;
constexpr const char* kCrashed = "zelhost crashed: exception";

struct Mode {
  const wchar_t* input;
  std::vector<std::string> exceptions;  // the FATAL line names one of them
  std::string logged;                   // the module's line before it crashes
};

TEST(CrashEndToEndTest, EveryModeIsWrittenDownAndEndsTheHost) {
  // Mode 2 is a fault the runtime library detects: a runtime that calls its invalid-parameter
  // handler reports that, one that only returns an error code (Wine's) is made to abort. Every
  // other mode, a number or not, is a memory fault. Each run writes a minidump, which takes Wine a
  // few seconds.
  const std::string violation = " - zelhost - zelhost crashed: exception 0xC0000005 (access violation)";
  const Mode modes[] = {
      {L"7", {violation}, "GenerateCrash: writing through a null pointer, as asked (mode 7)"},
      {L"\"two\"", {violation}, "GenerateCrash: writing through a null pointer, as asked (mode 0)"},
      {L"2",
       {"exception 0xC0000417 (invalid parameter to the runtime library)", "exception 0x40000015 (abort)"},
       "GenerateCrash: handing the runtime library an invalid parameter, as asked"},
  };
  const std::wstring error_log = LogsFolder() + L"VizOderiv.log";
  const std::wstring host_log = LogsFolder() + L"zelhost.log";
  const std::wstring module_log = LogsFolder() + L"ZovIdivariRuder.log";
  for (const Mode& mode : modes) {
    SCOPED_TRACE(zeltest::Narrow(mode.input));
    const size_t errors = LinesWith(error_log, kCrashed).size();
    const size_t hosts = LinesWith(host_log, kCrashed).size();
    const size_t logged = LinesWith(module_log, "[ERROR] - " + mode.logged).size();
    const zeltest::HostRun run = zeltest::RunHost({L"call", L"GenerateCrash", mode.input});
    EXPECT_EQ(run.exit_code, kExitCrashed) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("zelhost: crashed with exception"), std::string::npos) << run.err;
    EXPECT_EQ(LinesWith(module_log, "[ERROR] - " + mode.logged).size(), logged + 1);

    const std::vector<std::string> error_lines = LinesWith(error_log, kCrashed);
    ASSERT_EQ(error_lines.size(), errors + 1);
    const std::vector<std::string> host_lines = LinesWith(host_log, kCrashed);
    ASSERT_EQ(host_lines.size(), hosts + 1);
    EXPECT_NE(host_lines.back().find("[FATAL]"), std::string::npos) << host_lines.back();
    const std::string& line = error_lines.back();
    EXPECT_TRUE(line.find(mode.exceptions.front()) != std::string::npos ||
                line.find(mode.exceptions.back()) != std::string::npos)
        << line;
    const size_t named = line.find("; minidump ");
    ASSERT_NE(named, std::string::npos) << line;
    const std::wstring dump_path = zel::Utf8ToWide(line.substr(named + 11));
    EXPECT_EQ(dump_path.rfind(LogsFolder() + L"zelhost-", 0), 0u) << line;
    const std::string dump = zeltest::ReadBytes(dump_path);
    ::DeleteFileW(dump_path.c_str());
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
    EXPECT_GT(dump.size(), 1000u);
  }
}

}  // namespace
}  // namespace zelhost
