#include "request_framing.h"

#include <algorithm>
#include <cctype>

namespace zelhost {
namespace {

bool SameName(const std::string& line, size_t colon, const char* name) {
  const size_t length = std::char_traits<char>::length(name);
  if (colon != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
  }
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

RequestFrame Refuse(int status, const char* reason) {
  RequestFrame frame;
  frame.kind = RequestFrame::kRefused;
  frame.status = status;
  frame.reason = reason;
  return frame;
}

}  // namespace

RequestFrame FrameRequest(const std::string& bytes, size_t header_limit, uint64_t body_limit) {
  const size_t blank = bytes.find("\n\r\n");
  if (blank == std::string::npos || blank + 3 > header_limit) {
    if (bytes.size() >= header_limit) return Refuse(431, "the request's header section is too large");
    return {};
  }
  RequestFrame frame;
  frame.header_end = blank + 3;
  bool has_length = false;
  uint64_t length = 0;
  bool expects_continue = false;
  // Header lines, after the request line.
  for (size_t start = bytes.find('\n') + 1; start < blank + 1;) {
    const size_t end = bytes.find('\n', start);
    const std::string line = bytes.substr(start, end - start);
    start = end + 1;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string value = Trimmed(line.substr(colon + 1));
    if (SameName(line, colon, "transfer-encoding")) return Refuse(501, "chunked request bodies are not taken");
    if (SameName(line, colon, "expect")) {
      std::string lower = value;
      std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
      expects_continue = lower == "100-continue";
    }
    if (!SameName(line, colon, "content-length")) continue;
    if (value.empty() || value.size() > 18 || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return Refuse(400, "the request's Content-Length is not a number");
    }
    const uint64_t given = std::stoull(value);
    if (has_length && given != length) return Refuse(400, "the request has two different Content-Lengths");
    has_length = true;
    length = given;
  }
  if (length > body_limit) return Refuse(413, "the request's body is too large");
  frame.length = frame.header_end + static_cast<size_t>(length);
  frame.expects_continue = expects_continue && bytes.size() < frame.length;
  if (bytes.size() >= frame.length) frame.kind = RequestFrame::kComplete;
  return frame;
}

}  // namespace zelhost
