// CMyHttpRequest against the search-engine stand-in on 127.0.0.1.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "search/my_http_request.h"
#include "search_engine.h"

namespace zel {
namespace {

using zelhost::EngineBody;
using zelhost::SearchEngineOptions;
using zelhost::SearchEngineStandIn;

constexpr const wchar_t* kTarget = L"/search?q=ranges&format=xml&start=0&num=10&flags=0";

std::string Target() { return "/search?q=ranges&format=xml&start=0&num=10&flags=0"; }

// A port on 127.0.0.1 that nobody listens on (any more).
INTERNET_PORT ClosedPort() {
  auto engine = std::make_unique<SearchEngineStandIn>(SearchEngineOptions{});
  const INTERNET_PORT port = engine->Port();
  engine.reset();
  return port;
}

std::string ReadAll(CMyHttpRequest& request) {
  std::string all;
  char buffer[4096];
  DWORD count = 0;
  while (request.Read(buffer, -1, sizeof(buffer), &count) && count > 0) all.append(buffer, count);
  return all;
}

TEST(HttpRequestTest, FlagsFollowThePortAndTheCookieChoice) {
  EXPECT_EQ(CMyHttpRequest(L"h", 443, L"/").RequestFlags(), 0x84C03100u);
  EXPECT_EQ(CMyHttpRequest(L"h", 80, L"/").RequestFlags(), 0x84400100u);
  EXPECT_EQ(CMyHttpRequest(L"h", 4664, L"/").RequestFlags(), 0x84400100u);
  EXPECT_EQ(CMyHttpRequest(L"h", 80, L"/", L"", L"", false).RequestFlags(), 0x84400100u | INTERNET_FLAG_NO_COOKIES);
  EXPECT_EQ(CMyHttpRequest::kRelaxedSecurityFlags, 0xD180u);
}

TEST(HttpRequestTest, WithoutAnOpenRequestNothingAnswers) {
  CMyHttpRequest request(L"127.0.0.1", 80, L"/");
  EXPECT_EQ(request.StatusCode(), -1);
  std::wstring type = L"untouched";
  LONG length = 77;
  EXPECT_EQ(request.ContentInformation(&type, &length), -1);
  EXPECT_EQ(type, L"untouched");
  EXPECT_EQ(length, 77);
  char buffer[8];
  DWORD count = 5;
  EXPECT_FALSE(request.Read(buffer, -1, sizeof(buffer), &count));
  EXPECT_EQ(count, 0u);
}

TEST(HttpRequestTest, OpenSendsTheRequestAndTellsStatusAndContent) {
  SearchEngineStandIn engine({0, 200, EngineBody::kLong, 0});
  CMyHttpRequest request(L"127.0.0.1", engine.Port(), kTarget);
  ASSERT_EQ(request.Open(), 0u);
  EXPECT_EQ(request.StatusCode(), 200);
  const std::string body = SearchEngineStandIn::AnswerFor(Target(), EngineBody::kLong);
  std::wstring type;
  LONG length = 0;
  EXPECT_EQ(request.ContentInformation(&type, &length), 0);
  EXPECT_EQ(type, L"text/xml; charset=UTF-8");
  EXPECT_EQ(length, static_cast<LONG>(body.size()));
  EXPECT_EQ(ReadAll(request), body);
  EXPECT_EQ(request.Position(), static_cast<LONG>(body.size()));
  ASSERT_EQ(engine.Requests().size(), 1u);
  EXPECT_EQ(engine.Requests()[0].target, Target());
  EXPECT_EQ(engine.Requests()[0].agent, "Mozilla/4.0");
  EXPECT_EQ(engine.Requests()[0].range, "");

  // Another status, another agent, no cookies.
  SearchEngineStandIn other({0, 404, EngineBody::kEmpty, 0});
  CMyHttpRequest missing(L"127.0.0.1", other.Port(), L"/nothing", L"", L"", false);
  ASSERT_EQ(missing.Open(0, L"zel-agent"), 0u);
  EXPECT_EQ(missing.StatusCode(), 404);
  EXPECT_EQ(other.Requests().at(0).agent, "zel-agent");
}

TEST(HttpRequestTest, ReadsFromAnotherOffsetSendTheRequestAgainWithARange) {
  SearchEngineStandIn engine({0, 200, EngineBody::kLong, 0});
  const std::string body = SearchEngineStandIn::AnswerFor(Target(), EngineBody::kLong);
  ASSERT_GT(body.size(), 20000u);
  CMyHttpRequest request(L"127.0.0.1", engine.Port(), kTarget);
  ASSERT_EQ(request.Open(), 0u);

  char buffer[100];
  DWORD count = 0;
  ASSERT_TRUE(request.Read(buffer, 0, sizeof(buffer), &count));
  EXPECT_EQ(std::string(buffer, count), body.substr(0, count));
  const LONG after_first = request.Position();
  EXPECT_EQ(after_first, static_cast<LONG>(count));
  // The running offset: no new request.
  ASSERT_TRUE(request.Read(buffer, after_first, sizeof(buffer), &count));
  EXPECT_EQ(std::string(buffer, count), body.substr(after_first, count));
  EXPECT_EQ(engine.Requests().size(), 1u);

  // Another offset: the request goes out again, asking for the rest from there.
  ASSERT_TRUE(request.Read(buffer, 15000, sizeof(buffer), &count));
  ASSERT_GT(count, 0u);
  EXPECT_EQ(std::string(buffer, count), body.substr(15000, count));
  ASSERT_EQ(engine.Requests().size(), 2u);
  EXPECT_EQ(engine.Requests()[1].range, "bytes=15000-");
  EXPECT_EQ(request.StatusCode(), 206);
  EXPECT_EQ(ReadAll(request), body.substr(15000 + count));

  // Back to an earlier offset works as well.
  ASSERT_TRUE(request.Read(buffer, 10, sizeof(buffer), &count));
  EXPECT_EQ(std::string(buffer, count), body.substr(10, count));
  EXPECT_EQ(engine.Requests().size(), 3u);

  // Opening at an offset asks for the range at once.
  CMyHttpRequest ranged(L"127.0.0.1", engine.Port(), kTarget);
  ASSERT_EQ(ranged.Open(300), 0u);
  EXPECT_EQ(ranged.StatusCode(), 206);
  EXPECT_EQ(ranged.Position(), 300);
  EXPECT_EQ(engine.Requests().back().range, "bytes=300-");
  EXPECT_EQ(ReadAll(ranged), body.substr(300));

  // A server that cannot serve the range fails the read rather than hand back the wrong bytes.
  CMyHttpRequest beyond(L"127.0.0.1", engine.Port(), kTarget);
  ASSERT_EQ(beyond.Open(), 0u);
  EXPECT_FALSE(beyond.Read(buffer, static_cast<LONG>(body.size()) + 10, sizeof(buffer), &count));
}

TEST(HttpRequestTest, ErrorTextIsWinInetsMessageForTheCode) {
  CMyHttpRequest request(L"127.0.0.1", ClosedPort(), L"/");
  const DWORD code = request.Open();
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
  std::wstring text;
  EXPECT_EQ(CMyHttpRequest::ErrorText(&text), static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT));
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.find(L"connect"), std::wstring::npos) << std::string(text.begin(), text.end());

  ::SetLastError(ERROR_INTERNET_TIMEOUT);
  EXPECT_EQ(CMyHttpRequest::ErrorText(&text), static_cast<DWORD>(ERROR_INTERNET_TIMEOUT));
  EXPECT_NE(text.find(L"timed out"), std::wstring::npos) << std::string(text.begin(), text.end());

  ::SetLastError(0x20001234);  // no message anywhere: empty text, the code still comes back
  text = L"stale";
  EXPECT_EQ(CMyHttpRequest::ErrorText(&text), 0x20001234u);
  EXPECT_EQ(text, L"");
}

TEST(HttpRequestTest, ASilentServerTimesOut) {
  SearchEngineStandIn engine({0, 200, EngineBody::kSilent, 0});
  CMyHttpRequest request(L"127.0.0.1", engine.Port(), kTarget);
  request.SetTimeouts({1000, 1000, 1000});
  const ULONGLONG start = ::GetTickCount64();
  // Windows reports the time-out as such; Wine as an aborted connection.
  EXPECT_THAT(request.Open(), ::testing::AnyOf(static_cast<DWORD>(ERROR_INTERNET_TIMEOUT),
                                               static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED)));
  EXPECT_LT(::GetTickCount64() - start, 8000u);
}

}  // namespace
}  // namespace zel
