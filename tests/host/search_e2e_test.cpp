// The search-engine stand-in as zelhost.exe runs it, and "GoogleDesktopSearch" through the host.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "support/host_process.h"
#include "search_engine.h"
#include "support/registry_scope.h"
#include "support/test_support.h"

namespace zelhost {
namespace {

using zeltest::HostRun;
using zeltest::RunHost;

TEST(SearchEndToEndTest, TheHostsStandInAnswersTheHostsSearch) {
  zeltest::RegistryKeyScope engine_key(HKEY_CURRENT_USER, L"Software\\Google\\Google Desktop\\API");
  zeltest::RunningHost engine({L"search-engine", L"--body", L"long", L"--seconds", L"60"});
  const std::string url = ParseJson(engine.ReadLine()).value("search_url", "");
  ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;

  // The answer is UTF-8 (its snippet in three scripts included) and comes back as written.
  const HostRun run = RunHost({L"--search-url", zel::Utf8ToWide(url), L"call", L"GoogleDesktopSearch",
                               L"[\"client\", \"fish & chips/100%\", 10, 20, 1]"});
  EXPECT_EQ(run.exit_code, 0u) << run.err;
  const std::string target = "/search?q=fish+%26+chips%2F100%25&format=xml&start=10&num=20&flags=1";
  EXPECT_TRUE(ParseJson(run.out) == Json({{"rc", 0}, {"output", SearchEngineStandIn::AnswerFor(target, EngineBody::kLong)}}));

  // The URL stays in the registry for later runs.
  const HostRun again = RunHost({L"call", L"GoogleDesktopSearch", L"[\"\", \"x\", 0, 1, 0]"});
  EXPECT_EQ(ParseJson(again.out)["rc"], 0);

  // An engine that answers in windows-1252 reads right too.
  zeltest::RunningHost legacy({L"search-engine", L"--charset", L"windows-1252", L"--seconds", L"60"});
  const std::string legacy_url = ParseJson(legacy.ReadLine()).value("search_url", "");
  const HostRun read = RunHost({L"--search-url", zel::Utf8ToWide(legacy_url), L"call", L"GoogleDesktopSearch",
                                L"[\"client\", \"caf\u00E9\", 0, 1, 0]"});
  const std::string sent = SearchEngineStandIn::AnswerFor("/search?q=caf%C3%A9&format=xml&start=0&num=1&flags=0",
                                                          EngineBody::kXml, EngineCharset::kWindows1252);
  EXPECT_TRUE(ParseJson(read.out) == Json({{"rc", 0}, {"output", zel::WideToUtf8(zel::CodePageToWide(1252, sent))}}))
      << read.out;
}

TEST(SearchEndToEndTest, StandInOptionsAreChecked) {
  // A malformed option, a value out of range, a stray argument.
  for (const std::vector<std::wstring>& args : {std::vector<std::wstring>{L"search-engine", L"--body=long"},
                                                {L"search-engine", L"--port", L"70000"}, {L"search-engine", L"extra"},
                                                {L"search-engine", L"--charset", L"utf-16"}}) {
    EXPECT_EQ(RunHost(args).exit_code, 2u) << zel::WideToUtf8(args[1]);
  }
  // A port that is taken cannot be listened on: the host could not start.
  SearchEngineStandIn taken({0, 200, EngineBody::kXml, 0});
  EXPECT_EQ(RunHost({L"search-engine", L"--port", std::to_wstring(taken.Port()), L"--seconds", L"1"}).exit_code, 1u);
}

}  // namespace
}  // namespace zelhost
