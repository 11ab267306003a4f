// CMyHttpRequest: the query-text encoder, checked by a strict decoder of the test's own and the
// system's UTF-8 reader; requests against the search-engine stand-in on 127.0.0.1.

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/text.h"
#include "search/desktop_search.h"
#include "search/my_http_request.h"
#include "search_engine.h"

namespace zel {
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

TEST(HttpRequestTest, FlagsFollowThePortAndTheCookieChoiceAndNothingAnswersBeforeOpen) {
  EXPECT_EQ(CMyHttpRequest(L"h", 443, L"/").RequestFlags(), 0x84C03100u);
  EXPECT_EQ(CMyHttpRequest(L"h", 4664, L"/").RequestFlags(), 0x84400100u);
  EXPECT_EQ(CMyHttpRequest(L"h", 80, L"/", L"", L"", false).RequestFlags(), 0x84400100u | INTERNET_FLAG_NO_COOKIES);

  CMyHttpRequest request(L"127.0.0.1", 80, L"/");
  std::wstring type = L"untouched";
  LONG length = 77;
  char buffer[8];
  DWORD count = 5;
  const LONG information = request.ContentInformation(&type, &length);
  EXPECT_EQ(std::make_tuple(request.StatusCode(), information, type, length), std::make_tuple(-1, -1, std::wstring(L"untouched"), 77L));
  EXPECT_FALSE(request.Read(buffer, -1, sizeof(buffer), &count));
  EXPECT_EQ(count, 0u);
}

TEST(HttpRequestTest, OpenTellsStatusAndContentAndOtherOffsetsSendTheRequestAgainWithARange) {
  SearchEngineStandIn engine({0, 200, EngineBody::kLong, 0});
  const std::string body = SearchEngineStandIn::AnswerFor(kNarrowTarget, EngineBody::kLong);
  ASSERT_GT(body.size(), 20000u);
  CMyHttpRequest request(L"127.0.0.1", engine.Port(), kTarget);
  ASSERT_EQ(request.Open(), 0u);
  EXPECT_EQ(request.StatusCode(), 200);
  std::wstring type;
  LONG length = 0;
  EXPECT_EQ(request.ContentInformation(&type, &length), 0);
  EXPECT_EQ(type, L"text/xml; charset=UTF-8");
  EXPECT_EQ(length, static_cast<LONG>(body.size()));
  ASSERT_EQ(engine.Requests().size(), 1u);
  EXPECT_EQ(engine.Requests()[0].target, kNarrowTarget);
  EXPECT_EQ(engine.Requests()[0].range, "");

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
  EXPECT_EQ(engine.Requests()[1].range, "bytes=15000-");
  EXPECT_EQ(request.StatusCode(), 206);
  EXPECT_EQ(ReadAll(request), body.substr(15000 + count));
  EXPECT_EQ(request.Position(), static_cast<LONG>(body.size()));
  EXPECT_TRUE(read_at(10));
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

// WinINet's text for a refused connection is checked through the search service.
TEST(HttpRequestTest, ACodeWithoutAMessageGivesAnEmptyText) {
  ::SetLastError(0x20001234);
  std::wstring text = L"stale";
  EXPECT_EQ(CMyHttpRequest::ErrorText(&text), 0x20001234u);
  EXPECT_EQ(text, L"");
}

// Undoes the encoding and checks its form on the way: only kept characters, "+" and "%XX" with
// upper-case digits may appear, no escape stands for a character that is kept, and the bytes are
// UTF-8 that reads back as `text` exactly.
::testing::AssertionResult RoundTrips(const std::wstring& text) {
  const std::string encoded = CMyHttpRequest::UrlEncode(text);
  const std::string kept = "!'()*-._";
  auto is_kept = [&kept](int c) { return c < 0x80 && (std::isalnum(c) || kept.find(static_cast<char>(c)) != std::string::npos); };
  std::string decoded;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '%') {
      const std::string hex = encoded.substr(i + 1, 2);
      if (hex.size() != 2 || hex.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        return ::testing::AssertionFailure() << "bad escape at " << i << " of " << encoded.substr(0, 80);
      }
      const int value = std::stoi(hex, nullptr, 16);
      if (value == ' ' || is_kept(value)) return ::testing::AssertionFailure() << "needless escape %" << hex;
      decoded += static_cast<char>(value);
      i += 2;
    } else if (c == '+' || is_kept(static_cast<unsigned char>(c))) {
      decoded += c == '+' ? ' ' : c;
    } else {
      return ::testing::AssertionFailure() << "raw character " << static_cast<int>(static_cast<unsigned char>(c));
    }
  }
  std::wstring back(decoded.size(), L'\0');
  back.resize(::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, decoded.data(), static_cast<int>(decoded.size()),
                                    back.data(), static_cast<int>(back.size())));
  if (back != text) return ::testing::AssertionFailure() << "decodes to other text: " << encoded.substr(0, 80);
  return ::testing::AssertionSuccess();
}

TEST(UrlEncodingTest, DocumentedExamples) {
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"a b&c"), "a+b%26c");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"\u00E9"), "%C3%A9");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"~"), "%7E");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(std::wstring(1, wchar_t(0xD800))), "%EF%BF%BD");  // unpaired: U+FFFD
}

TEST(UrlEncodingTest, EveryCharacterAndGeneratedTextsOfEveryClassRoundTrip) {
  // Every code point below U+0800 (one or two UTF-8 bytes) alone, and the first of each longer form.
  for (wchar_t c = 0; c < 0x800; ++c) ASSERT_TRUE(RoundTrips(std::wstring(1, c))) << "U+" << std::hex << int(c);
  ASSERT_TRUE(RoundTrips(L"\u0800\uFFFF\U00010000\U0010FFFF"));
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
      ASSERT_TRUE(RoundTrips(text)) << "length " << length << " round " << round;
    }
  }
}

TEST(UrlEncodingTest, RequestPathAppendsTheEncodedQueryDirectly) {
  EXPECT_EQ(search::RequestPath(L"/search?q=", L"\u00E9&x", -5, 2147483647, -1),
            L"/search?q=%C3%A9%26x&format=xml&start=-5&num=2147483647&flags=-1");
  // The registry's path is used as it stands, not encoded again.
  EXPECT_EQ(search::RequestPath(L"/s\u00E9arch?q=", L"", 1, 2, 3), L"/s\u00E9arch?q=&format=xml&start=1&num=2&flags=3");
}

}  // namespace
}  // namespace zel
