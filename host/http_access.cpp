#include "http_access.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <httplib.h>

#include "json_variant.h"

namespace zelhost {
namespace {

// Compares without stopping at the first difference, so timing tells nothing about the token.
bool SameSecret(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < token.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  return difference == 0;
}

std::string CookieValue(const std::string& cookies, const std::string& name) {
  size_t start = 0;
  while (start < cookies.size()) {
    size_t end = cookies.find(';', start);
    if (end == std::string::npos) end = cookies.size();
    const size_t first = cookies.find_first_not_of(' ', start);
    if (first < end && cookies.compare(first, name.size() + 1, name + "=") == 0) {
      return cookies.substr(first + name.size() + 1, end - first - name.size() - 1);
    }
    start = end + 1;
  }
  return {};
}

}  // namespace

std::string MakeAccessToken() {
  unsigned char bytes[32];
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    throw std::runtime_error("the platform gave no random bytes for the access token");
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token += kDigits[byte >> 4];
    token += kDigits[byte & 0x0F];
  }
  return token;
}

void AnswerError(httplib::Response& response, int status, const std::string& text) {
  response.status = status;
  response.set_content(DumpJson(Json{{"error", text}}), "application/json");
}

std::string HttpAccess::ConsoleAddress(const std::string& host, int port) const {
  return "http://" + host + ":" + std::to_string(port) + "/?token=" + token_;
}

bool HttpAccess::HoldsToken(const httplib::Request& request) const {
  return SameSecret(request.get_header_value(kHeader), token_) ||
         SameSecret(CookieValue(request.get_header_value("Cookie"), kCookie), token_);
}

bool HttpAccess::NamesThisGateway(const httplib::Request& request) const {
  std::string host = request.get_header_value("Host");
  std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
  const auto literal = [](const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
  };
  const std::string port = ":" + std::to_string(port_);
  for (const std::string& name : {literal(address_), literal(request.local_addr), std::string("localhost"),
                                  std::string("127.0.0.1"), std::string("[::1]")}) {
    if (!name.empty() && (host == name + port || (port_ == 80 && host == name))) return true;
  }
  return false;
}

bool HttpAccess::Screen(const httplib::Request& request, httplib::Response& response) const {
  response.set_header("X-Content-Type-Options", "nosniff");
  response.set_header("Referrer-Policy", "no-referrer");
  response.set_header("Cache-Control", "no-store");
  // Any name but the gateway's own is a page whose name was made to point here (DNS rebinding).
  if (!NamesThisGateway(request)) {
    AnswerError(response, 421, "requests for another host than this gateway are refused");
    return true;
  }
  // A browser names the page that sent a request; anything but the console itself is refused.
  const std::string site = request.get_header_value("Sec-Fetch-Site");
  const std::string origin = request.get_header_value("Origin");
  if ((!site.empty() && site != "same-origin" && site != "none") ||
      (!origin.empty() && origin != "http://" + request.get_header_value("Host"))) {
    AnswerError(response, 403, "requests from another origin are refused");
    return true;
  }
  if (request.path == "/" && request.has_param("token")) {
    if (!SameSecret(request.get_param_value("token"), token_)) {
      AnswerError(response, 401, "the access token is wrong");
      return true;
    }
    // The token leaves the address bar at once; from here on the cookie carries it.
    response.set_header("Set-Cookie", std::string(kCookie) + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
    response.set_redirect("/", 303);
    return true;
  }
  if (!HoldsToken(request)) {
    AnswerError(response, 401, "the access token is missing or wrong");
    return true;
  }
  return false;
}

}  // namespace zelhost
