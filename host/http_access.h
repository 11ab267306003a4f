#pragma once

#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace zelhost {

// 32 random bytes in hexadecimal, from the platform's generator; throws std::runtime_error.
std::string MakeAccessToken();

// Who may reach anything of the gateway, the console's files included: whoever holds the access
// token made at start (in the "X-Zel-Token" header, or in the cookie that the console's address
// sets), from the console's own origin, naming the gateway's own address in Host. A page of another
// site could otherwise reach 127.0.0.1 from the user's browser, and one whose name it rebinds to
// 127.0.0.1 would even be of the same origin.
class HttpAccess {
 public:
  HttpAccess() : token_(MakeAccessToken()) {}
  explicit HttpAccess(std::string token) : token_(std::move(token)) {}

  const std::string& Token() const noexcept { return token_; }
  // The address and port the gateway listens on: what Host may name, besides the loopback names
  // and the address a connection reached. Set once, before serving.
  void SetListening(const std::string& address, int port) {
    address_ = address;
    port_ = port;
  }
  // The address to open in a browser: it carries the token once and sets the cookie.
  std::string ConsoleAddress(const std::string& host, int port) const;

  // Answers the request itself (true) when it is refused or when it is the console's address with
  // the token; false lets the routes answer it.
  bool Screen(const httplib::Request& request, httplib::Response& response) const;

  static constexpr const char* kHeader = "X-Zel-Token";
  static constexpr const char* kCookie = "zel_token";

 private:
  bool HoldsToken(const httplib::Request& request) const;
  bool NamesThisGateway(const httplib::Request& request) const;

  std::string token_;
  std::string address_;
  int port_ = 0;
};

// The JSON error body of every refusal: {"error": text} (and "rc" when a service gave one).
void AnswerError(httplib::Response& response, int status, const std::string& text);

}  // namespace zelhost
