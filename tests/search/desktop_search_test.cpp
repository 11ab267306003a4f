// "GoogleDesktopSearch" through the broker, against the search-engine stand-in.

#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <random>
#include <string>
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

TEST_F(DesktopSearchTest, TheEnginesAnswerComesBackAsText) {
  SearchEngineStandIn engine({0, 200, EngineBody::kXml, 0});
  PointAt(engine);
  const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"a b", 0, 10, 0), 55);
  EXPECT_EQ(reply.rc, 0);
  const std::string target = "/search?q=a+b&format=xml&start=0&num=10&flags=0";
  ASSERT_EQ(engine.Requests().size(), 1u);
  EXPECT_EQ(engine.Requests()[0].target, target);
  EXPECT_EQ(engine.Requests()[0].agent, "Mozilla/4.0");
  EXPECT_EQ(reply.output, Json(SearchEngineStandIn::AnswerFor(target, EngineBody::kXml)));

  // A registered path with its own query part, the way the engine writes it, keeps it.
  engine_key_.SetString(L"search_url", L"http://127.0.0.1:" + std::to_wstring(engine.Port()) + L"/search&s=K3y?q=",
                        REG_EXPAND_SZ);
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"x", 20, 5, 7)).rc, 0);
  EXPECT_EQ(engine.Requests().back().target, "/search&s=K3y?q=x&format=xml&start=20&num=5&flags=7");
}

TEST_F(DesktopSearchTest, WithoutAUsableSearchUrlTheEngineIsNotInstalled) {
  const Json not_installed = Json("Google Desktop not installed.");
  engine_key_.RemoveKey();
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"q")).output, not_installed);
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"q")).rc, 1);
  engine_key_.SetDword(L"search_url", 5);
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"q")).output, not_installed);
  // The last character stored is "=", and what follows it in memory is not a terminator either.
  const std::wstring unterminated = L"http://127.0.0.1:1/search?q=X";
  engine_key_.Set(L"search_url", REG_SZ, unterminated.data(), static_cast<DWORD>((unterminated.size() - 1) * 2));
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"q")).output, not_installed);
  engine_key_.SetString(L"search_url", L"http://127.0.0.1:1/" + std::wstring(2100, L'a') + L"?q=");
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"q")).output, not_installed);
  for (const wchar_t* url : {L"", L"not a url", L"http://127.0.0.1:1"}) {
    engine_key_.SetString(L"search_url", url);
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
    EXPECT_EQ(reply.output, not_installed) << WideToUtf8(url);
    EXPECT_EQ(reply.rc, 1);
  }
  EXPECT_EQ(CrackSearchUrl(L"https://desk.example:8443/api?q=").port, 8443);
  EXPECT_EQ(CrackSearchUrl(L"https://desk.example/api?q=").port, 443);
  EXPECT_EQ(CrackSearchUrl(L"http://desk.example/api?q=").host, L"desk.example");
}

TEST_F(DesktopSearchTest, StatusesOtherThan200AndConnectionFailuresAnswerTheirText) {
  for (const int status : {404, 500, 206, 302}) {
    SearchEngineStandIn engine({0, status, EngineBody::kXml, 0});
    PointAt(engine);
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
    EXPECT_EQ(reply.output, Json("HTTP error " + std::to_string(status)));
    EXPECT_EQ(reply.rc, 1);
  }
  int port = 0;
  {
    SearchEngineStandIn gone({0, 200, EngineBody::kXml, 0});
    port = gone.Port();
  }
  engine_key_.SetString(L"search_url", L"http://127.0.0.1:" + std::to_wstring(port) + L"/search?q=");
  const RunningModule::Reply refused = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
  EXPECT_EQ(refused.rc, 1);
  ASSERT_TRUE(refused.output.is_string());
  EXPECT_NE(refused.output.get<std::string>().find("connect"), std::string::npos) << refused.output;
}

TEST_F(DesktopSearchTest, EmptyLongAndBrokenAnswers) {
  const std::string target = "/search?q=q&format=xml&start=0&num=10&flags=0";
  {
    SearchEngineStandIn engine({0, 200, EngineBody::kEmpty, 0});
    PointAt(engine);
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"), 9);
    EXPECT_EQ(reply.output, Json(""));
    EXPECT_EQ(reply.rc, 0);
  }
  {
    // Several 10000-byte pieces, each exactly once.
    SearchEngineStandIn engine({0, 200, EngineBody::kLong, 0});
    PointAt(engine);
    const std::string body = SearchEngineStandIn::AnswerFor(target, EngineBody::kLong);
    ASSERT_GT(body.size(), 30000u);
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
    EXPECT_EQ(reply.rc, 0);
    EXPECT_EQ(reply.output, Json(body));
    EXPECT_EQ(engine.Requests().size(), 1u);  // read on, never asked again
  }
  {
    // The engine goes away half way: what came is the answer.
    SearchEngineStandIn engine({0, 200, EngineBody::kHalf, 0});
    PointAt(engine);
    const std::string body = SearchEngineStandIn::AnswerFor(target, EngineBody::kLong);
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
    EXPECT_EQ(reply.rc, 0);
    EXPECT_EQ(reply.output, Json(body.substr(0, body.size() / 2)));
  }
}

TEST_F(DesktopSearchTest, QueriesOfEveryClassArriveExactly) {
  SearchEngineStandIn engine({0, 200, EngineBody::kXml, 0});
  PointAt(engine);
  std::wstring pairs;
  for (int i = 0; i < 5000; ++i) pairs += L"\U0001F600";
  const std::vector<std::wstring> queries = {
      std::wstring(L"\x01\x02\t\n\r\x1F\x7F", 7), L"\"quoted\" 'single' `back`", L"caf\u00E9 \u4E2D\u6587 \u20AC",
      L"\U0001F600 and \U0010FFFF", L"&format=json&start=9", L"100% + 50% = ?", std::wstring(10000, L'x'), pairs,
  };
  for (const std::wstring& query : queries) {
    EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(query)).rc, 0);
    const std::string target = engine.Requests().back().target;
    EXPECT_TRUE(SearchEngineStandIn::Parameter(target, "q") == WideToUtf8(query)) << WideToUtf8(query.substr(0, 40));
    EXPECT_EQ(target.substr(target.find("&format=")), "&format=xml&start=0&num=10&flags=0");
  }
}

TEST_F(DesktopSearchTest, InputsOfTheWrongShapeFailToTheDispatcher) {
  SearchEngineStandIn engine({0, 200, EngineBody::kXml, 0});
  PointAt(engine);
  const size_t shape_before = ModuleLogLinesWith("Onservicerequested exception: CheckArrayType failed").size();
  const size_t type_before = ModuleLogLinesWith("Onservicerequested exception: CheckType failed").size();
  const std::vector<std::string> wrong_shape = {
      "null", "\"q\"", "5", "[]", "[\"c\", \"q\", 0, 10]",
      R"({"array": ["c", "q", "0", "10", "0"], "of": "bstr"})", R"({"byref": ["c", "q", 0, 10, 0]})",
      R"({"array": [1, 2, 3, 4, 5], "of": "i4"})"};
  for (const std::string& input : wrong_shape) {
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", input, 4242);
    EXPECT_EQ(reply.rc, 4242) << input;
    EXPECT_EQ(reply.output, nullptr) << input;
  }
  EXPECT_EQ(ModuleLogLinesWith("Onservicerequested exception: CheckArrayType failed").size(),
            shape_before + wrong_shape.size());
  const std::vector<std::string> wrong_type = {"[1, \"q\", 0, 10, 0]", "[\"c\", 5, 0, 10, 0]", "[\"c\", \"q\", \"0\", 10, 0]",
                                               "[\"c\", \"q\", 0, {\"i8\": 10}, 0]", "[\"c\", \"q\", 0, 10, null]",
                                               "[null, \"q\", 0, 10, 0]"};
  for (const std::string& input : wrong_type) EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", input, 4242).rc, 4242);
  EXPECT_EQ(ModuleLogLinesWith("Onservicerequested exception: CheckType failed").size(),
            type_before + wrong_type.size());
  EXPECT_TRUE(engine.Requests().empty());
  // A lower bound other than 0 is refused by the length check; extra elements are ignored.
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", R"({"array": ["c", "q", 0, 10, 0], "lbound": 1})", 4242).rc, 4242);
  EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", R"(["c", {"bstr": null}, 0, 10, 0, "extra"])").rc, 0);
  EXPECT_EQ(engine.Requests().back().target, "/search?q=&format=xml&start=0&num=10&flags=0");
}

TEST_F(DesktopSearchTest, EnginesThatHangDripOrFloodAreCutOffWhileOthersAreServed) {
  SearchLimits limits;
  limits.timeouts = {1000, 1000, 1000};
  limits.max_answer_bytes = 1 << 20;
  limits.answer_deadline_ms = 3000;
  const std::wstring path = L"/search?q=x&format=xml&start=0&num=10&flags=0";
  {
    SearchEngineStandIn silent({0, 200, EngineBody::kSilent, 0});
    const ULONGLONG start = ::GetTickCount64();
    const SearchOutcome outcome = Search({L"127.0.0.1", silent.Port(), L"/search?q="}, path, limits);
    EXPECT_EQ(outcome.code, SearchOutcome::kRequestFailed);
    EXPECT_FALSE(outcome.error.empty());
    EXPECT_LT(::GetTickCount64() - start, 8000u);
  }
  {
    SearchEngineStandIn huge({0, 200, EngineBody::kHuge, 0});
    const ULONGLONG start = ::GetTickCount64();
    const SearchOutcome outcome = Search({L"127.0.0.1", huge.Port(), L"/search?q="}, path, limits);
    EXPECT_LT(::GetTickCount64() - start, 8000u);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.answer.size(), limits.max_answer_bytes);
    EXPECT_EQ(outcome.answer.substr(0, 16), "<huge/>\n<huge/>\n");
  }
  {
    SearchEngineStandIn slow({0, 200, EngineBody::kXml, 1500});
    limits.timeouts = {1000, 1000, 4000};
    const SearchOutcome outcome = Search({L"127.0.0.1", slow.Port(), L"/search?q="}, path, limits);
    EXPECT_EQ(outcome.code, 0);
    EXPECT_EQ(outcome.answer, SearchEngineStandIn::AnswerFor(WideToUtf8(path), EngineBody::kXml));
  }
  // Through the module with its own limits: a search that hangs holds one broker thread only.
  auto silent = std::make_unique<SearchEngineStandIn>(SearchEngineOptions{0, 200, EngineBody::kSilent, 0});
  PointAt(*silent);
  auto hanging = std::async(std::launch::async, [&] { return module_.Call(L"GoogleDesktopSearch", Input(L"x")); });
  for (int i = 0; i < 1000 && silent->Requests().empty(); ++i) ::Sleep(10);
  ASSERT_EQ(silent->Requests().size(), 1u);
  SearchEngineStandIn good({0, 200, EngineBody::kXml, 0});
  PointAt(good);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(module_.Call(L"GoogleDesktopSearch", Input(L"y")).rc, 0);
  EXPECT_EQ(hanging.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  silent.reset();  // the engine goes away: the hanging search ends with the reason
  const RunningModule::Reply ended = hanging.get();
  EXPECT_EQ(ended.rc, 1);
  EXPECT_TRUE(ended.output.is_string());
}

}  // namespace
}  // namespace zel::search
