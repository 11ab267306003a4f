// CMyHttpRequest: the query-text encoder against an encoding built from the system's UTF-8 writer;
// requests against the search-engine stand-in on 127.0.0.1.

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "search/http_client.h"
#include "search_engine.h"

namespace zel::search {
namespace {

using zelhost::EngineBody;
using zelhost::SearchEngineStandIn;

constexpr const wchar_t* kTarget = L"/search?q=ranges&format=xml&start=0&num=10&flags=0";
const std::string kNarrowTarget = WideToUtf8(kTarget);

std::string ReadAll(CMyHttpRequest& request) {
  std::string all;
  char buffer[4096];
  DWORD count = 0;
  while (request.Read(buffer, -1, sizeof(buffer), &count) && count > 0) all.append(buffer, count);
  return all;
}

TEST(HttpRequestTest, FlagsFollowThePortAndTheCookieChoiceNothingAnswersBeforeOpenAndErrorTexts) {
  EXPECT_EQ(CMyHttpRequest(L"h", 443, L"/").RequestFlags(), 0x84C03100u);
  EXPECT_EQ(CMyHttpRequest(L"h", 4664, L"/").RequestFlags(), 0x84400100u);
  EXPECT_EQ(CMyHttpRequest(L"h", 80, L"/", L"", L"", false).RequestFlags(), 0x84400100u | INTERNET_FLAG_NO_COOKIES);

  CMyHttpRequest request(L"127.0.0.1", 80, L"/");
  std::wstring type = L"untouched";
  LONG length = 77;
  char buffer[8];
  DWORD count = 5;
  const LONG information = request.ContentInformation(&type, &length);
  const bool read = request.Read(buffer, -1, sizeof(buffer), &count);
  EXPECT_EQ(std::make_tuple(request.StatusCode(), information, type, length, read, count),
            std::make_tuple(-1, -1, std::wstring(L"untouched"), 77L, false, 0UL));

  // A code without a message gives an empty text (WinINet's text for a refused connection is
  // checked through the search service).
  ::SetLastError(0x20001234);
  EXPECT_EQ(CMyHttpRequest::ErrorText(&type), 0x20001234u);
  EXPECT_EQ(type, L"");
}

TEST(HttpRequestTest, OpenTellsStatusAndContentAndOtherOffsetsSendTheRequestAgainWithARange) {
  SearchEngineStandIn engine({0, 200, EngineBody::kLong, 0});
  const std::string body = SearchEngineStandIn::AnswerFor(kNarrowTarget, EngineBody::kLong);
  ASSERT_GT(body.size(), 20000u);
  CMyHttpRequest request(L"127.0.0.1", engine.Port(), kTarget);
  ASSERT_EQ(request.Open(), 0u);
  std::wstring type;
  LONG length = 0;
  EXPECT_EQ(request.ContentInformation(&type, &length), 0);
  EXPECT_EQ(std::make_tuple(request.StatusCode(), type, length),
            std::make_tuple(200L, std::wstring(L"text/xml; charset=UTF-8"), static_cast<LONG>(body.size())));
  ASSERT_EQ(engine.Requests().size(), 1u);
  EXPECT_EQ(std::make_pair(engine.Requests()[0].target, engine.Requests()[0].range), std::make_pair(kNarrowTarget, std::string()));

  char buffer[100];
  DWORD count = 0;
  auto read_at = [&](LONG offset) {
    return request.Read(buffer, offset, sizeof(buffer), &count) && count > 0 &&
           std::string(buffer, count) == body.substr(offset, count);
  };
  EXPECT_TRUE(read_at(0));
  EXPECT_EQ(request.Position(), static_cast<LONG>(count));
  EXPECT_TRUE(read_at(request.Position()));
  EXPECT_EQ(engine.Requests().size(), 1u) << "the running offset: no new request";
  // Another offset, later or earlier: the request goes out again, asking for the rest from there.
  EXPECT_TRUE(read_at(15000));
  ASSERT_EQ(engine.Requests().size(), 2u);
  EXPECT_EQ(std::make_pair(engine.Requests()[1].range, request.StatusCode()), std::make_pair(std::string("bytes=15000-"), 206L));
  EXPECT_EQ(ReadAll(request), body.substr(15000 + count));
  EXPECT_EQ(request.Position(), static_cast<LONG>(body.size()));
  EXPECT_TRUE(read_at(10));
  EXPECT_EQ(engine.Requests().size(), 3u);

  // Opening at an offset asks for the range at once.
  CMyHttpRequest ranged(L"127.0.0.1", engine.Port(), kTarget);
  ASSERT_EQ(ranged.Open(300), 0u);
  EXPECT_EQ(std::make_tuple(ranged.StatusCode(), ranged.Position(), engine.Requests().back().range),
            std::make_tuple(206L, 300L, std::string("bytes=300-")));
  EXPECT_EQ(ReadAll(ranged), body.substr(300));
  // A server that cannot serve the range fails the read rather than hand back the wrong bytes.
  EXPECT_FALSE(ranged.Read(buffer, static_cast<LONG>(body.size()) + 10, sizeof(buffer), &count));
}

// The one encoding the rules allow: the UTF-8 bytes (as the system writes them), letters, digits
// and "!'()*-._" kept, "+" for a blank, "%XX" with upper-case digits for every other byte.
std::string Encoded(const std::wstring& text) {
  std::string utf8(text.size() * 3, '\0'), out;
  utf8.resize(::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                                    static_cast<int>(utf8.size()), nullptr, nullptr));
  for (const unsigned char c : utf8) {
    char escape[4];
    std::snprintf(escape, sizeof(escape), "%%%02X", c);
    out += c == ' ' ? "+" : (c < 0x80 && c != 0 && (std::isalnum(c) || std::strchr("!'()*-._", c))) ? std::string(1, c) : escape;
  }
  return out;
}

TEST(UrlEncodingTest, DocumentedExamplesEveryCharacterAndGeneratedTextsOfEveryClass) {
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"a b&c"), "a+b%26c");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"\u00E9~"), "%C3%A9%7E");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(std::wstring(1, wchar_t(0xD800))), "%EF%BF%BD");  // unpaired: U+FFFD
  // Every code point below U+0800 (one or two UTF-8 bytes) alone, and the first of each longer form.
  for (wchar_t c = 0; c < 0x800; ++c) ASSERT_EQ(CMyHttpRequest::UrlEncode(std::wstring(1, c)), Encoded(std::wstring(1, c))) << int(c);
  const std::wstring longer = L"\u0800\uFFFF\U00010000\U0010FFFF";
  ASSERT_EQ(CMyHttpRequest::UrlEncode(longer), Encoded(longer));
  const std::vector<std::wstring> classes = {
      std::wstring(L"\x01\x02\t\n\r\x1B\x1F\x7F", 8),       // control bytes
      L"\"'`",                                              // quotes
      L" !#$%&()*+,-./:;<=>?@[\\]^_{|}~",                   // the rest of ASCII punctuation
      L"AZaz09",                                            // kept as they are
      L"\u00E9\u00FC\u00DF\u20AC\u4E2D\u6587\uFFFD\u0416",  // non-ASCII in the BMP
      L"\U0001F600\U00010000\U0010FFFF\U0001D11E",          // surrogate pairs
  };
  std::mt19937 random(20240607);
  for (const size_t length : {1u, 7u, 100u, 10000u}) {
    for (int round = 0; round < 20; ++round) {
      std::wstring text;
      while (text.size() < length) {
        const std::wstring& pool = classes[random() % classes.size()];
        size_t at = random() % pool.size();
        if (at > 0 && pool[at] >= 0xDC00 && pool[at] <= 0xDFFF) --at;  // start of its pair
        text += pool.substr(at, pool[at] >= 0xD800 && pool[at] <= 0xDBFF ? 2 : 1);
      }
      ASSERT_EQ(CMyHttpRequest::UrlEncode(text), Encoded(text)) << "length " << length << " round " << round;
    }
  }
}

}  // namespace
}  // namespace zel::search
