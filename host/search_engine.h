#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/tk_section.h"
#include "common/unique_handle.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace zelhost {

// How the stand-in answers a search.
enum class EngineBody {
  kXml,     // an XML result list for the query
  kEmpty,   // no body at all
  kLong,    // an XML result list of more than 40000 bytes
  kHalf,    // announces the long list, sends half of it, then closes the connection
  kHuge,    // announces and streams 1 GiB (until the client goes away)
  kSilent,  // reads the request and never answers
  kTrickle, // announces the long list at once, then sends it one byte per delay_ms
  kHangUp,  // reads the request and closes the connection without a byte of answer
};

// The charset the stand-in writes its answer in, and where it names it.
enum class EngineCharset {
  kUtf8,         // UTF-8, named in the Content-Type and the XML declaration
  kWindows1252,  // windows-1252, named in the Content-Type and the XML declaration
  kLatin1,       // ISO-8859-1, named in the XML declaration only
  kNone,         // UTF-8, named nowhere
};

struct SearchEngineOptions {
  unsigned short port = 0;  // 0: any free port
  int status = 200;
  EngineBody body = EngineBody::kXml;
  DWORD delay_ms = 0;  // before the first byte of the answer; kTrickle: before each byte
  EngineCharset charset = EngineCharset::kUtf8;
};

// Parses "xml", "empty", "long", "half", "huge", "silent", "trickle" or "hang-up"; false for anything else.
bool ParseEngineBody(const std::string& name, EngineBody* body);
// Parses "utf-8", "windows-1252", "iso-8859-1" or "none"; false for anything else.
bool ParseEngineCharset(const std::string& name, EngineCharset* charset);

// One request as the stand-in received it.
struct EngineRequest {
  std::string target;  // the request target: path and query, still encoded
  std::string range;   // the value of its Range header, "" without one
  std::string agent;   // the value of its User-Agent header
};

// A small stand-in for the desktop-search engine, on 127.0.0.1, for the host and the tests. It
// answers GET requests whose query names q (the search text), start, num and flags - what the
// module sends to a "search_url" of http://127.0.0.1:PORT/search?q= - with an XML result list,
// honours "Range: bytes=N-" with 206, and can be told to misbehave (SearchEngineOptions). It runs
// on cpp-httplib; each connection is closed after one answer. The destructor stops it: a request
// still waiting for a silent or delayed answer gets 503, a flood ends, and every thread has ended
// when it returns.
class SearchEngineStandIn {
 public:
  // Throws std::runtime_error when it cannot listen.
  explicit SearchEngineStandIn(const SearchEngineOptions& options);
  ~SearchEngineStandIn();
  SearchEngineStandIn(const SearchEngineStandIn&) = delete;
  SearchEngineStandIn& operator=(const SearchEngineStandIn&) = delete;

  unsigned short Port() const noexcept { return port_; }
  // The value to give "search_url": http://127.0.0.1:PORT/search?q=
  std::wstring SearchUrl() const;
  // The requests received so far, in order of arrival.
  std::vector<EngineRequest> Requests() const;

  // The body the stand-in sends for a request target with the options' body kind (kXml, kLong;
  // kHalf sends the first half of the kLong body), in `charset`. The XML names the query in
  // hexadecimal so that the exact bytes received can be checked whatever they are, and every
  // result carries the text kSnippet; characters the charset lacks are written as character
  // references ("&#28450;").
  static std::string AnswerFor(const std::string& target, EngineBody body,
                               EngineCharset charset = EngineCharset::kUtf8);
  // The Content-Type the stand-in answers with.
  static std::string ContentType(EngineCharset charset);
  // In UTF-8: Latin, a windows-1252 dash, CJK and a character outside the Basic Multilingual Plane.
  static constexpr const char* kSnippet = "caf\xC3\xA9 \xE2\x80\x93 \xE6\xBC\xA2\xE5\xAD\x97 \xF0\x9D\x84\x9E";
  // The decoded value of parameter `name` in a request target's query ("" when absent).
  static std::string Parameter(const std::string& target, const std::string& name);
  static constexpr unsigned long long kHugeBytes = 1ull << 30;

 private:
  class Server;
  void Answer(const httplib::Request& request, httplib::Response& response);
  void Note(const EngineRequest& request);
  bool Wait(DWORD ms);  // false when the stand-in is stopping

  SearchEngineOptions options_;
  unsigned short port_ = 0;
  zel::UniqueKernelHandle stopping_;
  std::unique_ptr<Server> server_;
  std::thread listener_;
  mutable zel::TkSection lock_;
  std::vector<EngineRequest> requests_;  // guarded by lock_
};

}  // namespace zelhost
