// The query-text encoder, checked against a decoder and a UTF-8 encoder of the test's own.

#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "search/desktop_search.h"
#include "search/my_http_request.h"

namespace zel {
namespace {

// UTF-16 to UTF-8 written out by hand, so that the module's conversion is not checked against itself.
// Unpaired surrogates become U+FFFD.
std::string Utf8(const std::wstring& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned long c = static_cast<unsigned short>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned short>(text[++i]) - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Undoes the encoding and checks its form on the way: only kept characters, "+" and "%XX" with
// upper-case digits may appear, and every kept character must be one of the allowed ones.
::testing::AssertionResult DecodeStrictly(const std::string& encoded, std::string* decoded) {
  const std::string kept = "!'()*-._";
  for (size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '+') {
      *decoded += ' ';
    } else if (c == '%') {
      if (i + 2 >= encoded.size()) return ::testing::AssertionFailure() << "cut escape at " << i;
      const std::string hex = encoded.substr(i + 1, 2);
      if (hex.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        return ::testing::AssertionFailure() << "bad escape %" << hex;
      }
      const int value = std::stoi(hex, nullptr, 16);
      const bool alphanumeric = value < 0x80 && std::isalnum(value);
      if (alphanumeric || value == ' ' || kept.find(static_cast<char>(value)) != std::string::npos) {
        return ::testing::AssertionFailure() << "needless escape %" << hex;
      }
      *decoded += static_cast<char>(value);
      i += 2;
    } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               kept.find(c) != std::string::npos) {
      *decoded += c;
    } else {
      return ::testing::AssertionFailure() << "raw character " << static_cast<int>(static_cast<unsigned char>(c));
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(UrlEncodingTest, DocumentedExamples) {
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"a b&c"), "a+b%26c");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"\u00E9"), "%C3%A9");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"~"), "%7E");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"\n"), "%0A");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L""), "");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"AZaz09!'()*-._"), "AZaz09!'()*-._");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"\"#$%+,/:;<=>?@[\\]^`{|}"),
            "%22%23%24%25%2B%2C%2F%3A%3B%3C%3D%3E%3F%40%5B%5C%5D%5E%60%7B%7C%7D");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(std::wstring(L"\x01\x1F\x7F", 3)), "%01%1F%7F");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(std::wstring(1, L'\0')), "%00");
  EXPECT_EQ(CMyHttpRequest::UrlEncode(L"\U0001F600"), "%F0%9F%98%80");  // one surrogate pair
  EXPECT_EQ(CMyHttpRequest::UrlEncode(std::wstring(1, wchar_t(0xD800))), "%EF%BF%BD");  // unpaired: U+FFFD
}

TEST(UrlEncodingTest, EveryByteValueTakesExactlyOneForm) {
  // Every single code point below U+0800 (one or two UTF-8 bytes) round-trips and takes its form.
  for (unsigned c = 0; c < 0x800; ++c) {
    const std::wstring text(1, static_cast<wchar_t>(c));
    std::string decoded;
    const std::string encoded = CMyHttpRequest::UrlEncode(text);
    ASSERT_TRUE(DecodeStrictly(encoded, &decoded)) << "U+" << std::hex << c << ": " << encoded;
    ASSERT_EQ(decoded, Utf8(text)) << "U+" << std::hex << c;
  }
}

TEST(UrlEncodingTest, GeneratedTextsOfEveryClassRoundTrip) {
  const std::vector<std::wstring> classes = {
      std::wstring(L"\x01\x02\t\n\r\x1B\x1F\x7F", 8),  // control bytes
      L"\"'`",                                        // quotes
      L" !#$%&()*+,-./:;<=>?@[\\]^_{|}~",             // the rest of ASCII punctuation
      L"AZaz09",                                      // kept as they are
      L"\u00E9\u00FC\u00DF\u20AC\u4E2D\u6587\uFFFD\u0416",  // non-ASCII in the BMP
      L"\U0001F600\U00010000\U0010FFFF\U0001D11E",    // surrogate pairs
  };
  std::mt19937 random(20240607);
  for (const size_t length : {1u, 7u, 100u, 10000u}) {
    for (int round = 0; round < 20; ++round) {
      std::wstring text;
      while (text.size() < length) {
        const std::wstring& pool = classes[random() % classes.size()];
        size_t at = random() % pool.size();
        if (at > 0 && pool[at] >= 0xDC00 && pool[at] <= 0xDFFF) --at;  // start of its pair
        const size_t take = pool[at] >= 0xD800 && pool[at] <= 0xDBFF ? 2 : 1;
        text += pool.substr(at, take);
      }
      std::string decoded;
      const std::string encoded = CMyHttpRequest::UrlEncode(text);
      ASSERT_TRUE(DecodeStrictly(encoded, &decoded)) << "length " << length << " round " << round;
      ASSERT_EQ(decoded, Utf8(text)) << "length " << length << " round " << round;
    }
  }
  // The longest case: 10,000 characters that each take four escapes of three characters.
  std::wstring pairs;
  for (int i = 0; i < 5000; ++i) pairs += L"\U0001F600";
  EXPECT_EQ(CMyHttpRequest::UrlEncode(pairs).size(), 5000u * 12);
}

TEST(UrlEncodingTest, RequestPathAppendsTheEncodedQueryDirectly) {
  EXPECT_EQ(search::RequestPath(L"/search&s=Xy1?q=", L"a b", 0, 10, 0),
            L"/search&s=Xy1?q=a+b&format=xml&start=0&num=10&flags=0");
  EXPECT_EQ(search::RequestPath(L"/search?q=", L"\u00E9&x", -5, 2147483647, -1),
            L"/search?q=%C3%A9%26x&format=xml&start=-5&num=2147483647&flags=-1");
  // The registry's path is used as it stands, not encoded again.
  EXPECT_EQ(search::RequestPath(L"/s\u00E9arch?q=", L"", 1, 2, 3), L"/s\u00E9arch?q=&format=xml&start=1&num=2&flags=3");
  const std::wstring long_query(10000, L'\u4E2D');
  EXPECT_EQ(search::RequestPath(L"/?q=", long_query, 0, 0, 0).size(), 4 + 10000 * 9 + 33u);
}

}  // namespace
}  // namespace zel
