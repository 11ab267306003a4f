#include "request_intake.h"

#include <algorithm>
#include <stdexcept>

#include <httplib.h>

#include "json_variant.h"
#include "request_framing.h"

namespace zelhost {
namespace {

constexpr size_t kReadBytes = 65536;

// A datagram socket on the loopback address that sends to itself.
UniqueSocket MakeWakeSocket() {
  UniqueSocket wake(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  int size = sizeof(address);
  if (!wake || ::bind(wake.Get(), reinterpret_cast<const sockaddr*>(&address), size) != 0 ||
      ::getsockname(wake.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      ::connect(wake.Get(), reinterpret_cast<const sockaddr*>(&address), size) != 0) {
    throw std::runtime_error("the gateway cannot make its wake-up socket");
  }
  u_long nonblocking = 1;
  ::ioctlsocket(wake.Get(), FIONBIO, &nonblocking);
  return wake;
}

}  // namespace

RequestIntake::RequestIntake(const Limits& limits, OnRequest on_request)
    : limits_(limits), on_request_(std::move(on_request)), wake_(MakeWakeSocket()) {
  thread_ = std::thread([this] { Run(); });
}

RequestIntake::~RequestIntake() {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    stopping_ = true;
  }
  ::send(wake_.Get(), "", 1, 0);
  thread_.join();
}

void RequestIntake::Wait(std::shared_ptr<ClientConnection> connection, bool kept_alive) {
  const ULONGLONG now = ::GetTickCount64();
  Add({std::move(connection), kept_alive ? Stage::kIdle : Stage::kHeader,
       now + (kept_alive ? limits_.idle_ms : limits_.header_ms)});
}

void RequestIntake::Close(std::shared_ptr<ClientConnection> connection) {
  ::shutdown(connection->socket.Get(), SD_SEND);
  Add({std::move(connection), Stage::kLinger, ::GetTickCount64() + limits_.linger_ms});
}

void RequestIntake::Add(Waiting waiting) {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (stopping_) return;  // the connection closes here
    arrivals_.push_back(std::move(waiting));
  }
  ::send(wake_.Get(), "", 1, 0);
}

void RequestIntake::Refuse(Waiting& waiting, int status, const char* reason, ULONGLONG now) {
  const std::string body = DumpJson(Json{{"error", reason}});
  const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + httplib::status_message(status) +
                             "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\nConnection: close\r\n\r\n" + body;
  // Small enough for the socket's buffer: the send does not wait for the client.
  ::send(waiting.connection->socket.Get(), answer.data(), static_cast<int>(answer.size()), 0);
  ::shutdown(waiting.connection->socket.Get(), SD_SEND);
  Linger(waiting, now);
}

void RequestIntake::Linger(Waiting& waiting, ULONGLONG now) {
  waiting.stage = Stage::kLinger;
  waiting.deadline = now + limits_.linger_ms;
  waiting.connection->received.clear();
}

bool RequestIntake::Advance(Waiting& waiting, ULONGLONG now) {
  ClientConnection& connection = *waiting.connection;
  if (waiting.stage == Stage::kLinger) {
    connection.received.clear();
    return true;
  }
  if (connection.received.empty()) return true;
  const RequestFrame frame = FrameRequest(connection.received, limits_.header_bytes, limits_.body_bytes);
  if (frame.kind == RequestFrame::kRefused) {
    Refuse(waiting, frame.status, frame.reason, now);
    return true;
  }
  if (frame.kind == RequestFrame::kComplete) {
    on_request_(std::move(waiting.connection), frame.length);
    return false;
  }
  if (waiting.stage == Stage::kIdle) {
    waiting.stage = Stage::kHeader;
    waiting.deadline = now + limits_.header_ms;
  }
  if (frame.header_end > 0 && waiting.stage == Stage::kHeader) {
    waiting.stage = Stage::kBody;
    waiting.deadline = now + limits_.body_ms;
  }
  if (frame.expects_continue && !waiting.continued) {
    static constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    ::send(connection.socket.Get(), kContinue, sizeof(kContinue) - 1, 0);
    waiting.continued = true;
  }
  return true;
}

void RequestIntake::Run() {
  std::vector<Waiting> waiting;
  std::vector<WSAPOLLFD> polled;
  std::vector<char> buffer(kReadBytes);
  for (;;) {
    std::vector<Waiting> arrived;
    {
      std::lock_guard<zel::TkSection> lock(lock_);
      if (stopping_) return;
      arrived.swap(arrivals_);
    }
    ULONGLONG now = ::GetTickCount64();
    // A kept-alive connection may already hold its next request, sent before the last answer.
    for (Waiting& entry : arrived) {
      if (Advance(entry, now)) waiting.push_back(std::move(entry));
    }
    polled.assign(1, WSAPOLLFD{wake_.Get(), POLLRDNORM, 0});
    ULONGLONG next = now + 60000;
    for (const Waiting& entry : waiting) {
      polled.push_back(WSAPOLLFD{entry.connection->socket.Get(), POLLRDNORM, 0});
      next = std::min(next, entry.deadline);
    }
    const int ready = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), next > now ? static_cast<INT>(next - now) : 0);
    if (ready < 0) ::Sleep(10);  // nothing sensible to do but to look again
    if (polled[0].revents != 0) {
      while (::recv(wake_.Get(), buffer.data(), static_cast<int>(buffer.size()), 0) > 0) {
      }
    }
    now = ::GetTickCount64();
    std::vector<Waiting> kept;
    kept.reserve(waiting.size());
    for (size_t i = 0; i < waiting.size(); ++i) {
      Waiting& entry = waiting[i];
      bool stays = true;
      if (ready > 0 && polled[i + 1].revents != 0) {
        const int got = ::recv(entry.connection->socket.Get(), buffer.data(), static_cast<int>(buffer.size()), 0);
        if (got <= 0) {
          stays = false;  // the client closed it, or it broke
        } else {
          entry.connection->received.append(buffer.data(), static_cast<size_t>(got));
          stays = Advance(entry, now);
        }
      } else if (now >= entry.deadline) {
        stays = entry.stage == Stage::kHeader || entry.stage == Stage::kBody;
        if (stays) Refuse(entry, 408, "the request did not arrive in time", now);
      }
      if (stays) kept.push_back(std::move(entry));
    }
    waiting.swap(kept);
  }
}

}  // namespace zelhost
