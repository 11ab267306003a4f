#include "search/desktop_search.h"

#include <algorithm>
#include <cwchar>
#include <memory>

#include "common/module_log.h"
#include "search/answer_text.h"
#include "common/registry.h"
#include "common/module_thread.h"
#include "common/request_input.h"
#include "common/scoped_variant.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "search/answer_reader.h"

namespace zel::search {
namespace {

constexpr const wchar_t* kEngineKey = L"Software\\Google\\Google Desktop\\API";
constexpr DWORD kUrlChars = 2048;
constexpr LONG kInputElements = 5;
constexpr LONG kHttpOk = 200;

// Closes a request whose answer was not read to its end. WinINet may read the rest before it lets
// the connection go (Wine does, for as long as the server keeps sending), so a flooding engine must
// not hold the broker's thread meanwhile: the request is closed on a thread of its own (or here,
// should no thread start).
void CloseUnread(std::shared_ptr<CMyHttpRequest> request) {
  StartModuleThread([request = std::move(request)]() mutable { request.reset(); });
}

}  // namespace

std::wstring ReadSearchUrl() {
  // An unterminated value counts as missing.
  return ReadRegistryString(HKEY_CURRENT_USER, kEngineKey, L"search_url", kUrlChars * sizeof(wchar_t),
                            RegistryTerminator::kRequired)
      .value_or(std::wstring());
}

SearchEndpoint CrackSearchUrl(const std::wstring& url) {
  SearchEndpoint endpoint;
  if (url.empty()) return endpoint;
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof(parts);
  parts.dwSchemeLength = 1;  // non-zero with a null pointer: point into `url`
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  if (!::InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return endpoint;
  if (parts.lpszHostName != nullptr) endpoint.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  if (parts.lpszUrlPath != nullptr) endpoint.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  endpoint.port = parts.nPort;
  return endpoint;
}

std::wstring RequestPath(const std::wstring& endpoint_path, const std::wstring& query, LONG start, LONG num,
                         LONG flags) {
  const std::string encoded = CMyHttpRequest::UrlEncode(query);
  return FormatWide(L"%s%s&format=xml&start=%d&num=%d&flags=%d", endpoint_path.c_str(),
                    std::wstring(encoded.begin(), encoded.end()).c_str(), start, num, flags);
}

SearchOutcome Search(const SearchEndpoint& endpoint, const std::wstring& request_path, const SearchLimits& limits) {
  SearchOutcome outcome;
  if (endpoint.path.empty()) {
    outcome.code = SearchOutcome::kNotInstalled;
    outcome.error = L"Google Desktop not installed.";
    return outcome;
  }
  auto request = std::make_shared<CMyHttpRequest>(endpoint.host, endpoint.port, request_path, std::wstring(),
                                                  std::wstring(), true);
  request->SetTimeouts(limits.timeouts);
  if (request->Open(0, nullptr, L"GET") != 0) {
    const DWORD error = CMyHttpRequest::ErrorText(&outcome.error);
    if (outcome.error.empty()) outcome.error = FormatWide(L"The desktop-search engine cannot be reached (error %u).", error);
    outcome.code = SearchOutcome::kRequestFailed;
    return outcome;
  }
  const LONG status = request->StatusCode();
  // A connection the engine closed without a status line: there is no HTTP status to name.
  if (status <= 0) {
    outcome.code = SearchOutcome::kRequestFailed;
    outcome.error = L"The desktop-search engine closed the connection without answering.";
    return outcome;
  }
  if (status != kHttpOk) {
    outcome.code = SearchOutcome::kHttpError;
    outcome.error = FormatWide(L"HTTP error %d", static_cast<int>(status));
    CloseUnread(std::move(request));
    return outcome;
  }
  LONG length = -1;
  request->ContentInformation(&outcome.content_type, &length);
  outcome.answer = ReadAnswerWithin(std::move(request), limits.max_answer_bytes, limits.answer_deadline_ms);
  // The reader does not say why it stopped: an answer shorter than announced, at the size limit, or
  // of no announced length may end inside a character, which the decoding then drops.
  outcome.cut_short = length < 0 || outcome.answer.size() < static_cast<size_t>(length) ||
                      outcome.answer.size() >= limits.max_answer_bytes;
  return outcome;
}

SearchRequest DecodeSearchRequest(const VARIANT& input) {
  if (V_VT(&input) != (VT_ARRAY | VT_VARIANT)) throw WideError::Input(input::kWrongShape);
  const input::Elements elements(input);
  if (elements.Length() < kInputElements || !elements.Has(kInputElements - 1)) {
    throw WideError::Input(input::kWrongShape);
  }
  LONG numbers[3] = {};
  for (LONG i = 0; i < kInputElements; ++i) {
    const VARIANT& element = elements.At(i);
    if (V_VT(&element) != (i < 2 ? VT_BSTR : VT_I4)) throw WideError::Input(input::kWrongType);
    if (i >= 2) numbers[i - 2] = V_I4(&element);
  }
  return {input::Text::Of(elements.At(1)).Value(), numbers[0], numbers[1], numbers[2]};
}

LONG GoogleDesktopSearch(const std::wstring& requester, const SearchRequest& query, VARIANT& output) {
  const SearchEndpoint endpoint = CrackSearchUrl(ReadSearchUrl());
  const std::wstring path = RequestPath(endpoint.path, query.query, query.start, query.num, query.flags);
  ModuleLog().Info(L"GoogleDesktopSearch for %s: %s", requester.c_str(), path.c_str());

  const SearchOutcome outcome = Search(endpoint, path);
  ScopedVariant text;
  LONG code = 0;
  if (outcome.code == 0) {
    text.SetString(DecodeAnswer(outcome.answer, outcome.content_type, outcome.cut_short));
  } else {
    ModuleLog().Warn(L"GoogleDesktopSearch: %s", outcome.error.c_str());
    text.SetString(outcome.error);
    code = 1;
  }
  text.ReleaseInto(output);
  return code;
}

}  // namespace zel::search
