// "GoogleDesktopSearch" through the broker, against the search-engine stand-in.

#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "common/module_log.h"
#include "common/text.h"
#include "search/desktop_search.h"
#include "search_engine.h"
#include "support/registry_scope.h"
#include "support/test_support.h"

namespace zel::search {
namespace {

using zelhost::EngineBody;
using zelhost::SearchEngineOptions;
using zelhost::SearchEngineStandIn;
using zeltest::Json;
using zeltest::ModuleLogLinesWith;
using zeltest::RegistryKeyScope;
using zeltest::RunningModule;

constexpr const wchar_t* kEngineKey = L"Software\\Google\\Google Desktop\\API";

std::string Input(const std::wstring& query, int start = 0, int num = 10, int flags = 0) {
  return "[\"client\", " + zelhost::DumpJson(WideToUtf8(query)) + ", " + std::to_string(start) + ", " +
         std::to_string(num) + ", " + std::to_string(flags) + "]";
}

class DesktopSearchTest : public ::testing::Test {
 protected:
  void SetUp() override { ModuleLog().SetLevel(CTkLog::kDebug); }
  void TearDown() override { ModuleLog().SetLevel(CTkLog::kError); }

  void PointAt(const SearchEngineStandIn& engine) { engine_key_.SetString(L"search_url", engine.SearchUrl()); }

  RegistryKeyScope engine_key_{HKEY_CURRENT_USER, kEngineKey};
  RunningModule module_;
};

TEST_F(DesktopSearchTest, TheEnginesAnswerComesBackAsTextAndQueriesOfEveryClassArriveExactly) {
  SearchEngineStandIn engine({0, 200, EngineBody::kXml, 0});
  PointAt(engine);
  // The answer comes back as text (in the ANSI code page: an ASCII query keeps it comparable).
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"a b")).output,
            Json(SearchEngineStandIn::AnswerFor("/search?q=a+b&format=xml&start=0&num=10&flags=0", EngineBody::kXml)));
  std::wstring pairs;
  for (int i = 0; i < 5000; ++i) pairs += L"\U0001F600";
  for (const std::wstring& query : {std::wstring(L"\x01\t\"q\" caf\u00E9 \u4E2D \U0010FFFF 100% + 5 = ?&format=json&start=9"), pairs}) {
    EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(query)).rc, 0);
    const std::string sent = engine.Requests().back().target;
    EXPECT_EQ(engine.Requests().back().agent, "Mozilla/4.0");
    EXPECT_TRUE(SearchEngineStandIn::Parameter(sent, "q") == WideToUtf8(query)) << WideToUtf8(query.substr(0, 40));
    EXPECT_EQ(sent.substr(sent.find("&format=")), "&format=xml&start=0&num=10&flags=0");
  }

  // A registered path with its own query part, the way the engine writes it, keeps it.
  engine_key_.SetString(L"search_url", L"http://127.0.0.1:" + std::to_wstring(engine.Port()) + L"/search&s=K3y?q=",
                        REG_EXPAND_SZ);
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"\u00E9&x", -5, 2147483647, -1)).rc, 0);
  EXPECT_EQ(engine.Requests().back().target, "/search&s=K3y?q=%C3%A9%26x&format=xml&start=-5&num=2147483647&flags=-1");
}

TEST_F(DesktopSearchTest, WithoutAUsableSearchUrlTheEngineIsNotInstalled) {
  auto expect_not_installed = [this](const std::string& why) {
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
    EXPECT_EQ(Json::array({reply.rc, reply.output}), Json::array({1, "Google Desktop not installed."})) << why;
  };
  engine_key_.RemoveKey();
  expect_not_installed("no key");
  engine_key_.SetDword(L"search_url", 5);
  expect_not_installed("a number");
  // The last character stored is "=", and what follows it in memory is not a terminator either.
  const std::wstring unterminated = L"http://127.0.0.1:1/search?q=X";
  engine_key_.Set(L"search_url", REG_SZ, unterminated.data(), static_cast<DWORD>((unterminated.size() - 1) * 2));
  expect_not_installed("unterminated");
  for (const std::wstring& url : {L"http://127.0.0.1:1/" + std::wstring(2100, L'a') + L"?q=", std::wstring(),
                                  std::wstring(L"not a url"), std::wstring(L"http://127.0.0.1:1")}) {
    engine_key_.SetString(L"search_url", url);
    expect_not_installed(WideToUtf8(url.substr(0, 40)));
  }
  EXPECT_EQ(CrackSearchUrl(L"https://desk.example:8443/api?q=").port, 8443);
  EXPECT_EQ(CrackSearchUrl(L"https://desk.example/api?q=").port, 443);
}

TEST_F(DesktopSearchTest, StatusesEmptyLongAndBrokenAnswersAndConnectionFailures) {
  const std::string long_body =
      SearchEngineStandIn::AnswerFor("/search?q=q&format=xml&start=0&num=10&flags=0", EngineBody::kLong);
  ASSERT_GT(long_body.size(), 30000u);
  // The long answer comes in several 10000-byte pieces, each exactly once; an engine that goes
  // away half way answers what came.
  const std::tuple<int, EngineBody, std::string, LONG> cases[] = {
      {404, EngineBody::kXml, "HTTP error 404", 1}, {302, EngineBody::kXml, "HTTP error 302", 1},
      {200, EngineBody::kEmpty, "", 0}, {200, EngineBody::kLong, long_body, 0},
      {200, EngineBody::kHalf, long_body.substr(0, long_body.size() / 2), 0}};
  for (const auto& [status, body, expected, rc] : cases) {
    SearchEngineStandIn engine({0, status, body, 0});
    PointAt(engine);
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"), 9);
    EXPECT_EQ(Json::array({reply.rc, reply.output}), Json::array({rc, expected})) << status;
    EXPECT_EQ(engine.Requests().size(), 1u) << "read on, never asked again";
  }
  const INTERNET_PORT closed = SearchEngineStandIn(SearchEngineOptions{}).Port();
  engine_key_.SetString(L"search_url", L"http://127.0.0.1:" + std::to_wstring(closed) + L"/search?q=");
  const RunningModule::Reply refused = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
  EXPECT_EQ(refused.rc, 1);
  EXPECT_TRUE(refused.output.is_string() && refused.output.get<std::string>().find("connect") != std::string::npos) << refused.output;
}

TEST_F(DesktopSearchTest, InputsOfTheWrongShapeFailToTheDispatcher) {
  SearchEngineStandIn engine({0, 200, EngineBody::kXml, 0});
  PointAt(engine);
  // Each input fails to the dispatcher with `error`, after the service has set the return code to 0.
  auto expect_refused = [this](const std::vector<std::string>& inputs, const std::string& error) {
    const size_t before = ModuleLogLinesWith("Onservicerequested exception: " + error).size();
    for (const std::string& input : inputs) {
      const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", input, 4242);
      EXPECT_EQ(Json::array({reply.rc, reply.output}), Json::parse("[0, null]")) << input;
    }
    EXPECT_EQ(ModuleLogLinesWith("Onservicerequested exception: " + error).size(), before + inputs.size());
  };
  expect_refused({"\"q\"", "[\"c\", \"q\", 0, 10]", R"({"array": ["c", "q", "0", "10", "0"], "of": "bstr"})",
                  R"({"byref": ["c", "q", 0, 10, 0]})"}, "CheckArrayType failed");
  expect_refused({"[1, \"q\", 0, 10, 0]", "[\"c\", 5, 0, 10, 0]", "[\"c\", \"q\", 0, {\"i8\": 10}, null]"},
                 "CheckType failed");
  EXPECT_TRUE(engine.Requests().empty());
  // A lower bound other than 0 is refused by the length check; extra elements are ignored.
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", R"({"array": ["c", "q", 0, 10, 0], "lbound": 1})", 4242).rc, 0);
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", R"(["c", {"bstr": null}, 0, 10, 0, "extra"])").rc, 0);
  EXPECT_EQ(engine.Requests().back().target, "/search?q=&format=xml&start=0&num=10&flags=0");
}

TEST_F(DesktopSearchTest, EnginesThatHangDripOrFloodAreCutOffWhileOthersAreServed) {
  const SearchLimits limits{{1000, 1000, 1000}, 3000, 1 << 20};
  const std::wstring path = L"/search?q=x&format=xml&start=0&num=10&flags=0";
  auto search = [&](EngineBody body) {
    SearchEngineStandIn engine({0, 200, body, 0});
    const ULONGLONG start = ::GetTickCount64();
    const SearchOutcome outcome = Search({L"127.0.0.1", engine.Port(), L"/search?q="}, path, limits);
    EXPECT_LT(::GetTickCount64() - start, 8000u);
    return outcome;
  };
  const SearchOutcome silent = search(EngineBody::kSilent);
  EXPECT_EQ(std::make_pair(silent.code, silent.error.empty()), std::make_pair(SearchOutcome::kRequestFailed, false));
  const SearchOutcome huge = search(EngineBody::kHuge);
  EXPECT_EQ(std::make_tuple(huge.code, huge.answer.size(), huge.answer.substr(0, 16)),
            std::make_tuple(0, limits.max_answer_bytes, std::string("<huge/>\n<huge/>\n")));

  // An engine that sends a byte every 3 s is never silent for the 3.5 s that WinINet waits at most:
  // reading still ends when its 4 s are up, with what came before.
  {
    const SearchLimits trickle_limits{{1000, 1000, 3500}, 4000, 1 << 20};
    SearchEngineStandIn engine({0, 200, EngineBody::kTrickle, 3000});
    const ULONGLONG start = ::GetTickCount64();
    const SearchOutcome trickled = Search({L"127.0.0.1", engine.Port(), L"/search?q="}, path, trickle_limits);
    EXPECT_LT(::GetTickCount64() - start, 5200u);
    EXPECT_EQ(std::make_pair(trickled.code, trickled.answer), std::make_pair(0, std::string("<")));
  }

  // Through the module with its own limits: a search that hangs holds one broker thread only.
  auto hung = std::make_unique<SearchEngineStandIn>(SearchEngineOptions{0, 200, EngineBody::kSilent, 0});
  PointAt(*hung);
  auto hanging = std::async(std::launch::async, [&] { return module_.Call(L"GoogleDesktopSearch", Input(L"x")); });
  for (int i = 0; i < 1000 && hung->Requests().empty(); ++i) ::Sleep(10);
  ASSERT_EQ(hung->Requests().size(), 1u);
  SearchEngineStandIn good({0, 200, EngineBody::kXml, 0});
  PointAt(good);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"y")).rc, 0);
  EXPECT_EQ(hanging.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  hung.reset();  // the engine goes away: the hanging search ends with the reason
  const RunningModule::Reply ended = hanging.get();
  EXPECT_TRUE(ended.rc == 1 && ended.output.is_string()) << ended.output;
}

}  // namespace
}  // namespace zel::search
