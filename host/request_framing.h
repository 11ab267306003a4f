#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelhost {

// Where one HTTP/1.1 request ends in the bytes a client has sent so far, told before any of it is
// parsed for routing: the gateway hands its routes exactly these bytes, so nothing a route leaves
// unread (a body refused before it was looked at) can be taken for the connection's next request.
// The header section ends with the first empty line (CRLF), as the HTTP library reads it; the body
// is Content-Length bytes. Chunked bodies are not taken: the console never sends one.
struct RequestFrame {
  enum Kind { kIncomplete, kComplete, kRefused };
  Kind kind = kIncomplete;
  size_t header_end = 0;         // just past the header section; 0 while it is incomplete
  size_t length = 0;             // kComplete: header section and body
  bool expects_continue = false;  // "Expect: 100-continue" with a body still to come
  int status = 0;                // kRefused: the status to answer with...
  const char* reason = "";       // ...and why
};

RequestFrame FrameRequest(const std::string& bytes, size_t header_limit, uint64_t body_limit);

}  // namespace zelhost
