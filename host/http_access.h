#pragma once

#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zelhost {

// 32 random bytes in hexadecimal, from the platform's generator; throws std::runtime_error.
std::string MakeAccessToken();

// Who may drive the module through the gateway: whoever holds the access token made at start (in
// the "X-Zel-Token" header, or in the cookie that the console's address sets), from the console's
// own origin. A page of another site could otherwise reach 127.0.0.1 from the user's browser.
class HttpAccess {
 public:
  HttpAccess() : token_(MakeAccessToken()) {}
  explicit HttpAccess(std::string token) : token_(std::move(token)) {}

  const std::string& Token() const noexcept { return token_; }
  // The address to open in a browser: it carries the token once and sets the cookie.
  std::string ConsoleAddress(const std::string& host, int port) const;

  // Answers the request itself (true) when it is refused or when it is the console's address with
  // the token; false lets the routes answer it.
  bool Screen(const httplib::Request& request, httplib::Response& response) const;

  static constexpr const char* kHeader = "X-Zel-Token";
  static constexpr const char* kCookie = "zel_token";

 private:
  bool HoldsToken(const httplib::Request& request) const;

  std::string token_;
};

// The JSON error body of every refusal: {"error": text} (and "rc" when a service gave one).
void AnswerError(httplib::Response& response, int status, const std::string& text);

}  // namespace zelhost
