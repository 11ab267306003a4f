#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wininet.h>

#include <cstddef>
#include <string>

#include "search/http_client.h"

namespace zel::search {

// Where the desktop-search engine listens: host, port and the path (with the start of its query,
// for example "/search?q="), taken from its "search_url". All empty when it is not installed.
struct SearchEndpoint {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;
};

// What one search may cost. The engine runs on the same machine and answers in well under a
// second; these bounds only matter for an engine that hangs, drips or floods. A search never
// takes much longer than the WinINet time-outs plus `answer_deadline_ms`, and never holds more
// than `max_answer_bytes` of answer text: an answer cut short by either comes back as far as it
// was read, like one whose connection broke, and its connection is let go on a thread of its own.
struct SearchLimits {
  HttpTimeouts timeouts = CMyHttpRequest::kDefaultTimeouts;
  DWORD answer_deadline_ms = 60000;
  size_t max_answer_bytes = 16u << 20;
};

// The answer of one search: code 0 with the engine's bytes, or a failure code with its text.
struct SearchOutcome {
  static constexpr int kNotInstalled = -10;
  static constexpr int kRequestFailed = -11;
  static constexpr int kHttpError = -12;

  int code = 0;
  std::string answer;         // the engine's bytes, unconverted
  std::wstring content_type;  // as the engine named it, "" without one
  bool cut_short = false;     // shorter than the engine announced, or cut by the limits
  std::wstring error;
};

// HKCU\Software\Google\Google Desktop\API "search_url" (REG_SZ or REG_EXPAND_SZ, terminated,
// shorter than 2048 characters); empty when missing or unusable.
std::wstring ReadSearchUrl();
// Splits a search URL; an empty endpoint when it cannot be split.
SearchEndpoint CrackSearchUrl(const std::wstring& url);
// The endpoint's path, the encoded query appended directly, then format, start, num and flags.
std::wstring RequestPath(const std::wstring& endpoint_path, const std::wstring& query, LONG start, LONG num,
                         LONG flags);
// Sends one query and reads the whole answer in pieces of at most 4 KiB.
SearchOutcome Search(const SearchEndpoint& endpoint, const std::wstring& request_path,
                     const SearchLimits& limits = {});

// "GoogleDesktopSearch": input [any string, query, start, num, flags], two strings (a null query
// reads as "") and three VT_I4. An input that is not a variant array of at least five elements
// raises "CheckArrayType failed", an element of the wrong type "CheckType failed"; the error
// reaches the dispatcher and the request answers 0 (its row says so).
struct SearchRequest {
  std::wstring query;
  LONG start = 0;
  LONG num = 0;
  LONG flags = 0;
};
SearchRequest DecodeSearchRequest(const VARIANT& input);
// Output the engine's XML answer as text (0) or an error text (1).
LONG GoogleDesktopSearch(const std::wstring& requester, const SearchRequest& request, VARIANT& output);

}  // namespace zel::search
