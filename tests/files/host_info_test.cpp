// The host information services: version and zone rules, log tails, the data folder, the
// configuration values.

#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "common/module_log.h"
#include "common/text.h"
#include "files/host_config.h"
#include "files/tail_log.h"
#include "files/version_info.h"
#include "files_test_support.h"
#include "support/registry_scope.h"
#include "support/test_support.h"

namespace zel::files {
namespace {

using zeltest::Json;
using zeltest::RegistryKeyScope;

Json Tail(LONG size, LONG length, const Json& text, LONG rc = 0) { return Json::array({rc, {size, length, text}}); }
const Json kNullString = Json{{"bstr", nullptr}};

// GetZelConfig's answer for these values: a string pair each.
Json Values(std::initializer_list<std::pair<const char*, const char*>> values) {
  Json items = Json::array();
  for (const auto& [name, text] : values) items.push_back({{"array", Json::array({name, text})}, {"of", "bstr"}});
  return Json::array({0, items});
}

Json Version(const VersionFacts& facts) { return Raw(*BuildVersionArray(facts)); }

TEST(HostInfoTest, VersionArrayCarriesTheZoneAndItsChangeRules) {
  VersionFacts facts;
  facts.version = L"12.3.4567";
  facts.local_time = {2024, 3, 0, 31, 2, 30, 15, 0};
  facts.zone_state = TIME_ZONE_ID_DAYLIGHT;
  // Standard time from the last Sunday of October, 03:00; daylight time from the last Sunday of March, 02:00.
  facts.zone = {-60, L"W. Europe Standard Time", {0, 10, 0, 5, 3, 0, 0, 0}, 0, L"W. Europe Daylight Time", {0, 3, 0, 5, 2, 0, 0, 0}, -60};
  DATE when = 0;
  ::SystemTimeToVariantTime(&facts.local_time, &when);
  Json expected = Json::parse(R"([{"bstr": null}, "12.3.4567", -60, null, 2, "W. Europe Standard Time",
                                  [10, 0, 5, 10800000], 0, "W. Europe Daylight Time", [3, 0, 5, 7200000], -60])");
  expected[3] = Json{{"date", when}};
  EXPECT_EQ(Version(facts), expected);

  // Southern hemisphere, a change at 01:59:59.999, no version.
  facts.version.reset();
  facts.zone_state = TIME_ZONE_ID_STANDARD;
  facts.zone.Bias = -600;
  facts.zone.StandardDate = {0, 4, 0, 1, 3, 0, 0, 0};
  facts.zone.DaylightDate = {0, 10, 6, 1, 1, 59, 59, 999};
  const Json south = Version(facts);
  EXPECT_EQ(Json::array({south[1], south[2], south[4], south[6], south[9]}),
            Json::parse(R"([{"bstr": null}, -600, 1, [4, 0, 1, 10800000], [10, 6, 1, 7199999]])"));

  // A zone without daylight time: month 0 rules; a failed zone query reports -1.
  VersionFacts plain;
  plain.zone_state = TIME_ZONE_ID_INVALID;
  plain.zone = TIME_ZONE_INFORMATION{};
  wcscpy_s(plain.zone.StandardName, L"Coordinated Universal Time");
  const Json utc = Version(plain);
  ASSERT_EQ(utc.size(), 11u);
  EXPECT_EQ(Json::array({utc[4], utc[5], utc[6], utc[8], utc[9]}),
            Json::parse(R"([-1, "Coordinated Universal Time", [0, 0, 0, 0], "", [0, 0, 0, 0]])"));
}

TEST(HostInfoTest, GetVersionReadsTheVersionValue) {
  RegistryKeyScope zel_key(HKEY_LOCAL_MACHINE, L"Software\\Rod Ezeduduv\\Zel");
  // 511 characters fit in 1024 bytes with the terminator; 512 do not. Other types count as missing.
  const std::pair<std::wstring, Json> values[] = {{L"7.0.1 build 42", "7.0.1 build 42"},
                                                  {std::wstring(511, L'v'), std::string(511, 'v')},
                                                  {std::wstring(512, L'v'), kNullString}};
  for (const auto& [value, expected] : values) {
    zel_key.SetString(L"Version", value);
    const Json answer = Serve(L"my-ZEL_GetVersion", "[1, 2]");  // the input is not read
    EXPECT_EQ(Json::array({answer[0], answer[1][1]}), Json::array({0, expected}));
  }
  zel_key.SetDword(L"Version", 7);
  EXPECT_EQ(Serve(L"my-ZEL_GetVersion", "null")[1][1], kNullString);
}

TEST(HostInfoTest, TailLogDropsTheFirstLineUpToTheCapRefusesWhatItCannotReadAndKeepsWhatWasRead) {
  zeltest::TempFolder folder;
  std::string hundred;
  for (int line = 0; line < 10; ++line) hundred += "line " + std::to_string(line) + "...\n";  // 10 bytes each
  const std::string path = Quoted(folder.WriteFile(L"hundred.log", hundred));
  const std::string no_feed = Quoted(folder.WriteFile(L"nofeed.log", std::string(90, 'a') + "0123456789"));
  // Text mode: CR LF reads as LF, a Ctrl-Z ends the text.
  const std::string crlf = Quoted(folder.WriteFile(L"crlf.log", "first\r\nsecond\r\nthird\r\n"));
  const std::string ctrl_z = Quoted(folder.WriteFile(L"ctrlz.log", "first\nsecond\n\x1A" "after"));
  const std::string empty = Quoted(folder.WriteFile(L"empty.log", ""));
  // The module's log is UTF-8; an older writer's lines are in the ANSI code page. A read that
  // begins inside a character (of three or four bytes) drops it, as does an end a writer has
  // not finished.
  const std::string utf8 = Quoted(folder.WriteFile(L"utf8.log", "x\n\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.mp3\ncaf\xE9\n"));
  const std::string cut = Quoted(folder.WriteFile(L"cut.log", "aaaa\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"));
  const std::string astral = Quoted(folder.WriteFile(L"astral.log", "x\na\xF0\x9D\x84\x9E" "b"));
  const std::string unfinished = Quoted(folder.WriteFile(L"unfinished.log", "x\ndone\nend\xE6\x97"));
  const std::pair<std::string, Json> cases[] = {
      {path + ", 5000000", Tail(100, 90, hundred.substr(10))},
      {path + ", 10", Tail(100, 0, "")},  // "line 9...\n": all of it dropped
      {path + ", 15", Tail(100, 10, "line 9...\n")},
      {no_feed + ", 10", Tail(100, 10, "0123456789")},
      {crlf + ", 50", Tail(22, 13, "second\nthird\n")},
      {ctrl_z + ", 50", Tail(19, 7, "second\n")},
      // Negative limits read as unsigned, hence the cap; any number that is exactly a 32-bit integer
      // counts, as script engines send them (a double, a 64-bit integer, a numeric string).
      {path + ", -1", Tail(100, 90, hundred.substr(10))},
      {path + ", 15.0", Tail(100, 10, "line 9...\n")},
      {path + ", {\"i8\": 15}", Tail(100, 10, "line 9...\n")},
      {path + ", \"15\"", Tail(100, 10, "line 9...\n")},
      {empty + ", 50", Tail(0, 0, "")},
      {utf8 + ", 50", Tail(21, 19, "\u65E5\u672C\u8A9E.mp3\n" + zel::WideToUtf8(zel::AnsiToWide("caf\xE9")) + "\n")},
      {cut + ", 8", Tail(13, 6, "\u672C\u8A9E")},
      {cut + ", 13", Tail(13, 13, "aaaa\u65E5\u672C\u8A9E")},
      {astral + ", 4", Tail(8, 1, "b")},
      {astral + ", 5", Tail(8, 5, "\U0001D11E" "b")},
      {unfinished + ", 50", Tail(12, 8, "done\nend")},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(Serve(L"my-ZEL_TailLog", "[" + input + "]"), expected) << input;
  }
  // The last 5000000 bytes of a larger log, whatever the limit asked.
  std::string content;
  for (int line = 0; content.size() < 6000000; ++line) content += "entry " + std::to_string(line) + "\n";
  const Json answer = Serve(L"my-ZEL_TailLog", "[" + Quoted(folder.WriteFile(L"large.log", content)) + ", 9000000]");
  const std::string tail = content.substr(content.size() - 5000000);
  const std::string expected = tail.substr(tail.find('\n') + 1);
  EXPECT_TRUE(answer == Tail(static_cast<LONG>(content.size()), static_cast<LONG>(expected.size()), expected));  // five megabytes: not printed

  // Status that does not fit 32 bits: 403. The file is sparse and costs no disk space.
  const std::wstring large = SparseFile(folder.Path() + L"\\three-gib.log", 3LL << 30);
  EXPECT_EQ(Serve(L"my-ZEL_TailLog", "[" + Quoted(large) + ", 50]"), Tail(0, 0, kNullString, 403));
  for (const std::string& input : std::vector<std::string>{"[" + Quoted(folder.Path() + L"\\missing.log") + ", 50]",
                                                           "[\"CON\", 50]", "[{\"bstr\": null}, 50]"}) {
    EXPECT_EQ(Serve(L"my-ZEL_TailLog", input), Tail(0, 0, kNullString, 404)) << input;
  }
  // A path that is not a string, a limit that is missing or not exactly a 32-bit integer, an input
  // that is not a pair: 1, with the WARN line, and no output.
  ModuleLog().SetLevel(CTkLog::kWarn);
  ModuleLog().Warn(L"HostInfoTest: refused tails follow");  // the log is open from here on
  const std::string not_a_number = "[WARN] - my-ZEL_TailLog: the limit is not a number";
  const size_t refused_before = zeltest::ModuleLogLinesWith(not_a_number).size();
  const std::vector<std::string> refused = {
      "[5, 50]", "[" + path + ", \"5x\"]", "[" + path + ", 15.9]", "[" + path + ", {\"i8\": 4294967296}]",
      "[" + path + "]", "null", "[" + path + ", {\"byref\": 50}]",
      "{\"array\": [" + path + ", \"50\"], \"of\": \"bstr\"}"};
  for (const std::string& input : refused) {
    EXPECT_EQ(Serve(L"my-ZEL_TailLog", input), Json::parse("[1, null]")) << input;
  }
  EXPECT_EQ(zeltest::ModuleLogLinesWith(not_a_number).size(), refused_before + 4);
  // Under Wine, Z: is the Linux root: reading this process's memory file from offset 0 fails (no
  // page is mapped there), while opening it and asking its size (0) succeed.
  const size_t warnings = zeltest::ModuleLogLinesWith("my-ZEL_TailLog: read failed after 0 bytes").size();
  const Json failed = Serve(L"my-ZEL_TailLog", R"(["Z:\\proc\\self\\mem", 100])");
  // The module's own log, tailed: its lines are UTF-8 and read back as written.
  ModuleLog().Warn(L"HostInfoTest: \u65E5\u672C\u8A9E.mp3 caf\u00E9 \U0001D11E");
  ModuleLog().SetLevel(CTkLog::kError);
  const Json own = Serve(L"my-ZEL_TailLog", "[" + Quoted(ModuleLog().MainPath()) + ", 4000]");
  EXPECT_NE(own[1][2].get<std::string>().find("HostInfoTest: \u65E5\u672C\u8A9E.mp3 caf\u00E9 \U0001D11E\n"),
            std::string::npos) << own;
  EXPECT_EQ(failed, Tail(0, 0, kNullString));
  EXPECT_EQ(zeltest::ModuleLogLinesWith("my-ZEL_TailLog: read failed after 0 bytes").size(), warnings + 1);
}

TEST(HostInfoTest, ConfigValuesInNameOrderWithTheirTexts) {
  RegistryKeyScope config(HKEY_LOCAL_MACHINE, L"Software\\Rod Ezeduduv\\Zel\\Config");
  config.RemoveKey();
  EXPECT_EQ(Serve(L"GetZelConfig", "null", "\"untouched\"")[1], "untouched");  // no key
  config.SetString(L"placeholder", L"");
  config.Remove(L"placeholder");
  EXPECT_EQ(Serve(L"GetZelConfig", "null", "\"emptied\""), Json::parse("[0, null]"));  // a key without values

  for (const auto& [name, value] : {std::pair{L"app.fileBrowser.enabled", 1u}, {L"b", 4294967295u}, {L"Z", 0x80000000u}}) config.SetDword(name, value);
  for (const auto& [name, text, type] : {std::tuple{L"a", L"caf\u00E9", REG_SZ}, {L"expand", L"%TEMP%", REG_EXPAND_SZ}, {L"_", L"", REG_SZ}}) {
    config.SetString(name, text, type);
  }
  const ULONGLONG qword = 5;
  config.Set(L"q", REG_QWORD, &qword, sizeof(qword));
  const BYTE binary[] = {1, 2, 3};
  config.Set(L"c", REG_BINARY, binary, sizeof(binary));
  config.Set(L"short dword", REG_DWORD, binary, 2);
  const std::wstring unterminated = L"abcX";
  config.Set(L"raw", REG_SZ, unterminated.data(), 6);
  EXPECT_EQ(Serve(L"GetZelConfig", "null"),
            Values({{"Z", "-2147483648"}, {"_", ""}, {"a", "caf\u00e9"}, {"app.fileBrowser.enabled", "1"}, {"b", "-1"},
                    {"c", ""}, {"expand", ""}, {"q", ""}, {"raw", "abc"}, {"short dword", ""}}));

  // A name longer than 255 characters ends the enumeration; the values before it are answered.
  config.ClearValues();
  config.SetString(L"first", L"1");
  config.SetString(std::wstring(300, L'n'), L"long");
  config.SetString(L"other", L"2");  // after the long name in creation order and in name order
  EXPECT_EQ(Serve(L"GetZelConfig", "null"), Values({{"first", "1"}}));
}

TEST(HostInfoTest, TheServicesAnswerThroughTheBroker) {
  zeltest::RunningModule module;
  EXPECT_EQ(module.Call(L"GetZelConfig", "null", 77).rc, 0);
  wchar_t common[MAX_PATH] = {};
  ASSERT_EQ(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common), S_OK);
  const zeltest::RunningModule::Reply data = module.Call(L"GetZelDataFolder", "null", 77);
  EXPECT_EQ(Json::array({data.rc, data.output}), Json::array({0, WideToUtf8(std::wstring(common) + L"\\RodEzeduduv")}))
      << "no trailing separator";

  // The machine's own zone and local time.
  const zeltest::RunningModule::Reply version = module.Call(L"my-ZEL_GetVersion", "null", 77);
  ASSERT_EQ(std::make_pair(version.rc, version.output.size()), std::make_pair(0L, size_t{11}));
  TIME_ZONE_INFORMATION zone{};
  ::GetTimeZoneInformation(&zone);
  EXPECT_EQ(Json::array({version.output[2], version.output[5]}), Json::array({zone.Bias, WideToUtf8(zone.StandardName)}));
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  DATE today = 0;
  ::SystemTimeToVariantTime(&now, &today);
  EXPECT_LT(std::fabs(version.output[3]["date"].get<double>() - today), 60.0 / 86400);
}

}  // namespace
}  // namespace zel::files
