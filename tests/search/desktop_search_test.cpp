// "GoogleDesktopSearch" through the broker, against the search-engine stand-in.

#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "common/module_log.h"
#include "common/text.h"
#include "search/answer_text.h"
#include "search/desktop_search.h"
#include "search_engine.h"
#include "support/registry_scope.h"
#include "support/test_support.h"

namespace zel::search {
namespace {

using zelhost::EngineBody;
using zelhost::EngineCharset;
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
  // The answer comes back as text, its non-ASCII snippet included.
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

TEST_F(DesktopSearchTest, AnswersAreReadInTheCharsetTheyNameElseAsUtf8AndAHangUpIsNamed) {
  const std::string target = "/search?q=caf%C3%A9&format=xml&start=0&num=2&flags=0";
  // What each result's snippet reads as; characters a legacy charset lacks came as references.
  const std::pair<EngineCharset, std::wstring> charsets[] = {
      {EngineCharset::kUtf8, L"caf\u00E9 \u2013 \u6F22\u5B57 \U0001D11E"},
      {EngineCharset::kNone, L"caf\u00E9 \u2013 \u6F22\u5B57 \U0001D11E"},
      {EngineCharset::kWindows1252, L"caf\u00E9 \u2013 &#28450;&#23383; &#119070;"},
      {EngineCharset::kLatin1, L"caf\u00E9 &#8211; &#28450;&#23383; &#119070;"}};
  for (const auto& [charset, snippet] : charsets) {
    SearchEngineStandIn engine({0, 200, EngineBody::kXml, 0, charset});
    PointAt(engine);
    const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"caf\u00E9", 0, 2));
    ASSERT_EQ(reply.rc, 0) << reply.output;
    const std::wstring text = Utf8ToWide(reply.output.get<std::string>());
    EXPECT_EQ(text.find(L"<query>caf\u00E9</query>") != std::wstring::npos && text.find(snippet) != std::wstring::npos &&
                  text.find(L"\uFFFD") == std::wstring::npos, true) << reply.output;
    const std::string sent = SearchEngineStandIn::AnswerFor(target, EngineBody::kXml, charset);
    EXPECT_EQ(text, CodePageToWide(charset == EngineCharset::kUtf8 || charset == EngineCharset::kNone ? CP_UTF8 : 1252, sent));
  }
  // The Content-Type's charset before the declaration's; labels in any case and quoting; a label
  // not known, or none, reads UTF-8, and bytes that are not UTF-8 the ANSI code page.
  const std::string declared = "<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\xE9 \x96</a>";
  const std::string utf8 = "<?xml version=\"1.0\"?><a>caf\xC3\xA9</a>";
  const std::tuple<std::string, std::wstring, std::wstring> cases[] = {
      {declared, L"text/xml", L"<?xml version='1.0' encoding='ISO-8859-1'?><a>caf\u00E9 \u2013</a>"},
      {declared, L"text/xml; Charset=\"UTF-8\"", AnsiToWide(declared)},
      {"<a>\x82\xA0</a>", L"text/xml;charset=shift_jis ", L"<a>\u3042</a>"},
      {"<a>\xE9</a>", L"text/xml; charset=KOI8-R", L"<a>\u0418</a>"},
      {utf8, L"text/xml; charset=x-unknown", L"<?xml version=\"1.0\"?><a>caf\u00E9</a>"},
      {"\xEF\xBB\xBF" + utf8, L"", L"<?xml version=\"1.0\"?><a>caf\u00E9</a>"},
      {"caf\xC3\xA9 \xE6\xBC", L"text/xml; charset=utf-8", L"caf\u00E9 "},  // cut short inside a character
      {"<a>caf\xE9", L"", AnsiToWide("<a>caf\xE9")},  // whole: the last byte is a character
      {"", L"text/xml; charset=windows-1252", L""},
  };
  for (const auto& [body, type, expected] : cases) EXPECT_EQ(DecodeAnswer(body, type, !body.empty() && body.back() == '\xBC'), expected) << body;
  for (const char* label : {"", "utf-7", "windows-1259", "iso-8859-99", "cp"}) EXPECT_EQ(CodePageOfCharset(label), 0u) << label;

  // An engine that closes the connection without a byte of answer.
  SearchEngineStandIn hang_up({0, 200, EngineBody::kHangUp, 0});
  PointAt(hang_up);
  const RunningModule::Reply reply = module_.Call(L"GoogleDesktopSearch", Input(L"q"));
  ASSERT_TRUE(reply.rc == 1 && reply.output.is_string()) << reply.output;
  EXPECT_FALSE(hang_up.Requests().empty());
  const std::string said = reply.output.get<std::string>();
  EXPECT_TRUE(said.size() > 20 && said.find("HTTP error") == std::string::npos) << said;
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
  // Half of it ends inside a character, which is dropped.
  std::string half = long_body.substr(0, long_body.size() / 2);
  while (!IsUtf8(half)) half.pop_back();
  // The long answer comes in several 10000-byte pieces, each exactly once; an engine that goes
  // away half way answers what came.
  const std::tuple<int, EngineBody, std::string, LONG> cases[] = {
      {404, EngineBody::kXml, "HTTP error 404", 1}, {302, EngineBody::kXml, "HTTP error 302", 1},
      {200, EngineBody::kEmpty, "", 0}, {200, EngineBody::kLong, long_body, 0},
      {200, EngineBody::kHalf, half, 0}};
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
