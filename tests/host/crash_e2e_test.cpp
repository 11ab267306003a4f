// "GenerateCrash" in a child zelhost.exe: the host's crash handling writes a FATAL line to the
// shared error log and a minidump into the logs folder, and ends with its own exit status.

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/text.h"
#include "crash_handler.h"
#include "support/host_process.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zeltest::LinesWith;
using zeltest::LogsFolder;

constexpr DWORD kCrashedStatus = static_cast<DWORD>(kExitCrashed);
constexpr const char* kCrashed = "zelhost crashed: exception";

TEST(CrashEndToEndTest, EveryModeIsWrittenDownAndEndsTheHost) {
  // Mode 2 is a fault the runtime library detects: a runtime that calls its invalid-parameter
  // handler reports that, one that only returns an error code (Wine's) is made to abort. Every
  // other mode, a number or not, is a memory fault. Each run writes a minidump, which takes Wine a
  // few seconds.
  const std::string violation = " - zelhost - zelhost crashed: exception 0xC0000005 (access violation)";
  const struct {
    const wchar_t* input;
    std::string exception, other;  // the FATAL line names one of them
    std::string logged;             // the module's line before it crashes
  } modes[] = {
      {L"7", violation, violation, "writing through a null pointer, as asked (mode 7)"},
      {L"\"two\"", violation, violation, "writing through a null pointer, as asked (mode 0)"},
      {L"2", "exception 0xC0000417 (invalid parameter to the runtime library)", "exception 0x40000015 (abort)",
       "handing the runtime library an invalid parameter, as asked"},
  };
  const std::wstring logs[] = {LogsFolder() + L"VizOderiv.log", LogsFolder() + L"zelhost.log",
                               LogsFolder() + L"ZovIdivariRuder.log"};
  for (const auto& mode : modes) {
    SCOPED_TRACE(zeltest::Narrow(mode.input));
    // One line each in the error log, the host's log and the module's log.
    const std::string needles[] = {kCrashed, kCrashed, "[ERROR] - GenerateCrash: " + mode.logged};
    size_t before[3];
    for (int i = 0; i < 3; ++i) before[i] = LinesWith(logs[i], needles[i]).size();
    const zeltest::HostRun run = zeltest::RunHost({L"call", L"GenerateCrash", mode.input});
    EXPECT_EQ(run.exit_code, kCrashedStatus) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("zelhost: crashed with exception"), std::string::npos) << run.err;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(LinesWith(logs[i], needles[i]).size(), before[i] + 1) << needles[i];
    EXPECT_NE(LinesWith(logs[1], kCrashed).back().find("[FATAL]"), std::string::npos);
    const std::string line = LinesWith(logs[0], kCrashed).back();
    EXPECT_TRUE(line.find(mode.exception) != std::string::npos || line.find(mode.other) != std::string::npos) << line;
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

// A crash whose report hangs (here on a lock that another thread of the process holds for good)
// still ends the host, with the same exit status, once the report has had its time.
TEST(CrashEndToEndTest, AReportThatHangsIsGivenUpAndStillEndsTheHost) {
  wchar_t program[MAX_PATH];
  ::GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring module(program);
  module.resize(module.find_last_of(L'\\') + 1);
  zeltest::RunningHost host({L"--module", module + L"stuck_report_module.dll", L"call", L"GetFileInfo", L"[]"});
  EXPECT_EQ(host.WaitForExit(kCrashReportLimitMs + 60000), std::optional<DWORD>(kCrashedStatus));
}

}  // namespace
}  // namespace zelhost
