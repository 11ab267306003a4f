#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <thread>

#include "common/tk_log.h"
#include "common/unique_handle.h"
#include "support/test_support.h"

namespace zel {
namespace {

using namespace zeltest;

void WriteSizedFile(const std::wstring& path, size_t size) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  const std::string bytes(size, 'x');
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(size), &written, nullptr));
}

long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

struct LogFile {
  std::wstring name = UniqueName(L"tklog") + L".log";
  std::wstring path = LogsFolder() + name;
  ~LogFile() {
    ::DeleteFileW(path.c_str());
    ::DeleteFileW((path + L".back").c_str());
    for (int i = 1; i <= 9; ++i) ::DeleteFileW((path + std::to_wstring(i)).c_str());
  }
};

TEST(TkLogTest, LevelFromTheRegistryDecidesWhichLinesAreWritten) {
  const std::pair<std::optional<DWORD>, std::vector<std::string>> cases[] = {
      {std::nullopt, {"ERROR", "FATAL"}},
      {4, {"DEBUG", "INFO", "WARN", "ERROR", "FATAL", "TRACE"}},
      {0, {"FATAL"}},
  };
  for (const auto& [registry, written] : cases) {
    LogFile file;
    std::unique_ptr<CTkLog> log;
    {
      LogLevelValue level(registry);
      log = std::make_unique<CTkLog>(file.name.c_str(), false);
    }
    log->Debug(L"m-DEBUG");
    log->Info(L"m-INFO");
    log->Warn(L"m-WARN");
    log->Error(L"m-ERROR");
    log->Fatal(L"m-FATAL");
    log->Trace(L"m-TRACE");
    std::vector<std::string> seen;
    for (const std::string& line : ReadLines(file.path)) {
      std::smatch match;
      ASSERT_TRUE(std::regex_search(line, match, std::regex(R"(\[(\w+)\] - m-(\w+)$)"))) << line;
      EXPECT_EQ(match[1], match[2] == "TRACE" ? std::string("DEBUG") : match[2].str()) << line;  // trace is debug
      seen.push_back(match[2]);
    }
    EXPECT_EQ(seen, written) << "registry level " << (registry ? int(*registry) : -1);
  }
}

TEST(TkLogTest, PrefixLayouts) {
  const SYSTEMTIME t{2026, 12, 6, 5, 7, 5, 3, 49};  // 2026-12-05 07:05:03.049
  wchar_t buffer[CTkLog::kLineChars];
  CTkLog::FormatMainPrefix(buffer, CTkLog::kLineChars, t, CTkLog::kInfo, false, 1234);
  EXPECT_STREQ(buffer, L"2026/12/05 07:05:03.04 [INFO] - ");
  // The other layouts are checked on written lines. The program name is cut at 1998 characters.
  const std::wstring long_name(3000, L'p');
  const int length = CTkLog::FormatErrorPrefix(buffer, CTkLog::kLineChars, t, long_name.c_str());
  EXPECT_EQ(length, 25 + 1998 + 3);
}

TEST(TkLogTest, LinesAreUtf8WithCrLfAndCutAt2047CharactersInAFileOpenedAtTheFirstLine) {
  LogFile file;
  CTkLog log(file.name.c_str(), true);
  log.Debug(L"below the level");
  EXPECT_EQ(log.MainPath(), L"");
  EXPECT_EQ(FileSize(file.path), -1);
  log.Error(L"caf\u00e9 %s %hs %I64d %d", L"wide", "narrow", 1LL << 40, -3);
  log.Error(L"%s", std::wstring(3000, L'y').c_str());

  const std::string bytes = ReadBytes(file.path);
  const std::vector<std::string> lines = ReadLines(file.path);
  ASSERT_EQ(lines.size(), 2u);
  const std::string pid = std::to_string(::GetCurrentProcessId());
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d\d \[ERROR\] )" + pid +
                                                    " - caf\xC3\xA9 wide narrow 1099511627776 -3")))
      << lines[0];
  EXPECT_EQ(lines[1].size(), 2047u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), std::count(bytes.begin(), bytes.end(), '\r'));
  EXPECT_EQ(log.MainPath(), file.path);
}

TEST(TkLogTest, RotationBoundaries) {
  // A smaller file is appended to. A file of exactly the limit passes the start check (only a
  // larger one is rotated there), but its size is the starting count, so the first line reaches the
  // limit and rotates it; one byte more is rotated at start. Either way the old content is kept
  // whole in ".back". A line here is the 33-character prefix, "fresh" and CR LF: 40 bytes.
  for (size_t size : {524000u, 524288u, 524289u}) {
    LogFile file;
    WriteSizedFile(file.path, size);
    CTkLog log(file.name.c_str(), false);
    log.Error(L"fresh");
    const bool rotated = size >= 524288u;
    EXPECT_EQ(FileSize(file.path + L".back"), rotated ? static_cast<long long>(size) : -1) << size;
    EXPECT_EQ(FileSize(file.path), (rotated ? 0 : static_cast<long long>(size)) + 40) << size;
  }
  // The line that reaches the limit starts the new file. Every line is the 33-character prefix
  // plus a 965-character message: 1000 units with CR LF; 524 of them stay below 524288.
  LogFile file;
  CTkLog log(file.name.c_str(), false);
  const std::wstring message(965, L'a');
  for (int i = 0; i < 524; ++i) log.Error(L"%s", message.c_str());
  EXPECT_EQ(FileSize(file.path + L".back"), -1);
  log.Error(L"%s", (L"b" + message.substr(1)).c_str());  // 525000: rotates
  EXPECT_EQ(ReadLines(file.path + L".back").size(), 524u);
  const std::vector<std::string> current = ReadLines(file.path);
  ASSERT_EQ(current.size(), 1u);
  EXPECT_NE(current[0].find(" - baaa"), std::string::npos);
  for (int i = 0; i < 523; ++i) log.Error(L"%s", message.c_str());  // 524000 again: no rotation
  EXPECT_EQ(ReadLines(file.path).size(), 524u);
}

// Writers that stop part-way, as on a full disk: one fails after half the line, one reports the
// short count as success.
BOOL HalfThenDiskFull(HANDLE file, const void* bytes, DWORD size, DWORD* written) {
  ::WriteFile(file, bytes, size / 2, written, nullptr);
  ::SetLastError(ERROR_DISK_FULL);
  return FALSE;
}
BOOL HalfAndDone(HANDLE file, const void* bytes, DWORD size, DWORD* written) {
  return ::WriteFile(file, bytes, size / 2, written, nullptr);
}

TEST(TkLogTest, ALineThatCannotBeWrittenWholeLeavesNoPartBehind) {
  for (const CTkLog::LineWriter writer : {&HalfThenDiskFull, &HalfAndDone}) {
    LogFile file;
    CTkLog log(file.name.c_str(), false);
    log.Error(L"before");
    log.SetLineWriter(writer);
    log.Error(L"torn %s", std::wstring(500, L'x').c_str());
    log.SetLineWriter(nullptr);
    log.Error(L"after");
    const std::string bytes = ReadBytes(file.path);
    EXPECT_EQ(bytes.find("torn"), std::string::npos) << bytes;
    const std::vector<std::string> lines = ReadLines(file.path);
    ASSERT_EQ(lines.size(), 2u) << bytes;
    EXPECT_NE(lines[0].find("[ERROR] - before"), std::string::npos);
    EXPECT_NE(lines[1].find("[ERROR] - after"), std::string::npos);
    EXPECT_EQ(bytes.size(), lines[0].size() + lines[1].size() + 4) << "CR LF after each, nothing else";
  }
}

TEST(TkLogTest, HeldFilesFallBackToNumberedNamesAndFatalAlsoReachesTheErrorLog) {
  LogFile file;
  UniqueFile held(::CreateFileW(file.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  UniqueFile held1(::CreateFileW((file.path + L"1").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(held && held1);
  CTkLog log(file.name.c_str(), false);
  const std::string marker = Narrow(UniqueName(L"fatal"));
  log.Fatal(L"boom %hs", marker.c_str());
  EXPECT_EQ(log.MainPath(), file.path + L"2");
  held.Reset();
  held1.Reset();
  EXPECT_EQ(LinesWith(file.path + L"2", "[FATAL] - boom " + marker).size(), 1u);

  EXPECT_EQ(log.ErrorPath(), LogsFolder() + L"VizOderiv.log");
  const std::vector<std::string> errors = LinesWith(log.ErrorPath(), marker);
  ASSERT_EQ(errors.size(), 1u);
  const std::regex shape(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d\d - common_tests - boom )" + marker);
  EXPECT_TRUE(std::regex_match(errors[0], shape)) << errors[0];
}

TEST(TkLogTest, ConcurrentWritersNeitherInterleaveNorLoseLinesAcrossARotation) {
  LogFile file;
  CTkLog log(file.name.c_str(), false);
  constexpr int kThreads = 8;
  constexpr int kLines = 1000;  // about 640000 units in all: exactly one rotation
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < kLines; ++i) log.Error(L"thread %02d line %04d %s", t, i, L"-------------------");
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<std::string> all = ReadLines(file.path + L".back");
  const std::vector<std::string> current = ReadLines(file.path);
  ASSERT_FALSE(all.empty()) << "expected one rotation";
  all.insert(all.end(), current.begin(), current.end());
  const std::regex shape(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d\d \[ERROR\] - thread (\d\d) line (\d{4}) -+)");
  std::map<int, std::set<int>> seen;
  for (const std::string& line : all) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    EXPECT_TRUE(seen[std::stoi(match[1])].insert(std::stoi(match[2])).second) << "duplicate: " << line;
  }
  ASSERT_EQ(seen.size(), size_t(kThreads));
  for (const auto& [thread, lines] : seen) EXPECT_EQ(lines.size(), size_t(kLines)) << "thread " << thread;
}

}  // namespace
}  // namespace zel
