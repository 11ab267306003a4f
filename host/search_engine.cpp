#include "search_engine.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace zelhost {
namespace {

constexpr size_t kLargestRequestHead = 1 << 20;
constexpr int kXmlResultsMax = 50;
constexpr int kLongResults = 400;
constexpr size_t kStreamBlock = 64 * 1024;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Form decoding: "+" is a blank, "%XX" a byte; a "%" without two hexadecimal digits stays as it is.
std::string Decode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 0x0F];
  }
  return out;
}

std::string XmlText(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return out;
}

bool SendAll(SOCKET socket, const char* data, size_t size) {
  while (size > 0) {
    const int sent = send(socket, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

std::string Head(int status, unsigned long long length, const std::string& extra = {}) {
  char line[256];
  snprintf(line, sizeof(line),
           "HTTP/1.1 %d %s\r\nContent-Type: text/xml; charset=UTF-8\r\nContent-Length: %llu\r\n"
           "Connection: close\r\n",
           status, status == 200 ? "OK" : status == 206 ? "Partial Content" : "Stand-in Status", length);
  return line + extra + "\r\n";
}

std::string HeaderValue(const std::string& head, std::string_view name) {
  size_t start = head.find("\r\n");
  while (start != std::string::npos && start + 2 < head.size()) {
    start += 2;
    const size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end - start);
    const size_t colon = line.find(':');
    if (colon == name.size() && std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      const size_t value = line.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
    start = end;
  }
  return {};
}

}  // namespace

bool ParseEngineBody(const std::string& name, EngineBody* body) {
  static const std::pair<const char*, EngineBody> kNames[] = {
      {"xml", EngineBody::kXml},   {"empty", EngineBody::kEmpty}, {"long", EngineBody::kLong},
      {"half", EngineBody::kHalf}, {"huge", EngineBody::kHuge},   {"silent", EngineBody::kSilent}};
  for (const auto& [text, value] : kNames) {
    if (name == text) {
      *body = value;
      return true;
    }
  }
  return false;
}

std::string SearchEngineStandIn::Parameter(const std::string& target, const std::string& name) {
  const size_t question = target.find('?');
  if (question == std::string::npos) return {};
  std::string_view query(target);
  query.remove_prefix(question + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t equals = pair.find('=');
    if (pair.substr(0, equals) == name) return Decode(equals == std::string_view::npos ? "" : pair.substr(equals + 1));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

std::string SearchEngineStandIn::AnswerFor(const std::string& target, EngineBody body) {
  const std::string query = Parameter(target, "q");
  const int start = std::atoi(Parameter(target, "start").c_str());
  const int count = body == EngineBody::kXml
                        ? std::clamp(std::atoi(Parameter(target, "num").c_str()), 0, kXmlResultsMax)
                        : kLongResults;
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<results query_hex=\"" + Hex(query) +
                    "\" start=\"" + XmlText(Parameter(target, "start")) + "\" num=\"" +
                    XmlText(Parameter(target, "num")) + "\" flags=\"" + XmlText(Parameter(target, "flags")) +
                    "\" format=\"" + XmlText(Parameter(target, "format")) + "\">\n<query>" + XmlText(query) +
                    "</query>\n";
  for (int i = 0; i < count; ++i) {
    const std::string id = std::to_string(start + i);
    xml += "<result id=\"" + id + "\"><title>Document " + id + "</title><url>file:///C:/Documents/doc" + id +
           ".txt</url></result>\n";
  }
  return xml + "</results>\n";
}

SearchEngineStandIn::SearchEngineStandIn(const SearchEngineOptions& options)
    : options_(options), stopping_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) throw std::runtime_error("Winsock is not available");
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (listener_ == INVALID_SOCKET || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(listener_, SOMAXCONN) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = WSAGetLastError();
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    WSACleanup();
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port) + " (error " +
                             std::to_string(error) + ")");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

SearchEngineStandIn::~SearchEngineStandIn() {
  ::SetEvent(stopping_.Get());
  closesocket(listener_);
  acceptor_.join();
  std::unique_lock<zel::TkSection> lock(lock_);
  for (const SOCKET client : clients_) shutdown(client, SD_BOTH);
  idle_.wait(lock, [this] { return clients_.empty(); });
  lock.unlock();
  WSACleanup();
}

std::wstring SearchEngineStandIn::SearchUrl() const {
  return L"http://127.0.0.1:" + std::to_wstring(port_) + L"/search?q=";
}

std::vector<EngineRequest> SearchEngineStandIn::Requests() const {
  std::lock_guard<zel::TkSection> lock(lock_);
  return requests_;
}

bool SearchEngineStandIn::Wait(DWORD ms) { return ::WaitForSingleObject(stopping_.Get(), ms) == WAIT_TIMEOUT; }

void SearchEngineStandIn::AcceptLoop() {
  for (;;) {
    const SOCKET client = accept(listener_, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
      if (!Wait(0)) return;
      continue;
    }
    std::lock_guard<zel::TkSection> lock(lock_);
    clients_.insert(client);
    try {
      std::thread([this, client] { Serve(client); }).detach();
    } catch (const std::system_error&) {
      clients_.erase(client);
      closesocket(client);
    }
  }
}

void SearchEngineStandIn::Serve(SOCKET client) {
  std::string head;
  char buffer[4096];
  size_t end = std::string::npos;
  while ((end = head.find("\r\n\r\n")) == std::string::npos && head.size() < kLargestRequestHead) {
    const int got = recv(client, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    head.append(buffer, static_cast<size_t>(got));
  }
  if (end != std::string::npos) {
    head.resize(end + 2);
    EngineRequest request;
    const size_t first_blank = head.find(' ');
    const size_t second_blank = head.find(' ', first_blank + 1);
    if (first_blank != std::string::npos && second_blank != std::string::npos) {
      request.target = head.substr(first_blank + 1, second_blank - first_blank - 1);
    }
    request.range = HeaderValue(head, "Range");
    request.agent = HeaderValue(head, "User-Agent");
    {
      std::lock_guard<zel::TkSection> lock(lock_);
      requests_.push_back(request);
    }
    Answer(client, request);
  }
  // Let the client read to the end before the connection goes away.
  shutdown(client, SD_SEND);
  DWORD linger_ms = 1000;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&linger_ms), sizeof(linger_ms));
  while (recv(client, buffer, sizeof(buffer), 0) > 0) {
  }
  closesocket(client);
  std::lock_guard<zel::TkSection> lock(lock_);
  clients_.erase(client);
  idle_.notify_all();
}

void SearchEngineStandIn::Answer(SOCKET client, const EngineRequest& request) {
  if (!Wait(options_.delay_ms)) return;
  const int status = options_.status;
  switch (options_.body) {
    case EngineBody::kSilent: {
      char byte;
      while (recv(client, &byte, 1, 0) > 0) {  // until the client gives up or the stand-in stops
      }
      return;
    }
    case EngineBody::kHuge: {
      const std::string head = Head(status, kHugeBytes);
      std::string block(kStreamBlock, '\0');
      for (size_t i = 0; i < block.size(); ++i) block[i] = "<huge/>\n"[i % 8];
      if (!SendAll(client, head.data(), head.size())) return;
      for (unsigned long long sent = 0; sent < kHugeBytes && Wait(0); sent += block.size()) {
        if (!SendAll(client, block.data(), block.size())) return;
      }
      return;
    }
    case EngineBody::kHalf: {
      const std::string body = AnswerFor(request.target, EngineBody::kLong);
      const std::string head = Head(status, body.size());
      if (SendAll(client, head.data(), head.size())) SendAll(client, body.data(), body.size() / 2);
      return;
    }
    default:
      break;
  }
  const std::string body = options_.body == EngineBody::kEmpty ? std::string() : AnswerFor(request.target, options_.body);
  unsigned long long from = 0;
  if (status == 200 && request.range.rfind("bytes=", 0) == 0) {
    from = std::strtoull(request.range.c_str() + 6, nullptr, 10);
    if (from >= body.size()) {
      const std::string head = Head(416, 0, "Content-Range: bytes */" + std::to_string(body.size()) + "\r\n");
      SendAll(client, head.data(), head.size());
      return;
    }
    const std::string head =
        Head(206, body.size() - from,
             "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) + "/" +
                 std::to_string(body.size()) + "\r\n");
    if (SendAll(client, head.data(), head.size())) SendAll(client, body.data() + from, body.size() - from);
    return;
  }
  const std::string head = Head(status, body.size());
  if (SendAll(client, head.data(), head.size())) SendAll(client, body.data(), body.size());
}

}  // namespace zelhost
