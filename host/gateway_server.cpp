#include "gateway_server.h"

#include <algorithm>
#include <cstring>

namespace zelhost {
namespace {

// The accepting thread runs each connection's job at once: the job only hands it on.
class HandOver final : public httplib::TaskQueue {
 public:
  bool enqueue(std::function<void()> job) override {
    job();
    return true;
  }
  void shutdown() override {}
};

// What a worker reads from and writes to for one request: the request's bytes as the intake
// framed them, then nothing; the answer goes to the connection's socket.
class FramedStream final : public httplib::Stream {
 public:
  FramedStream(const ClientConnection& connection, size_t length, time_t write_sec, time_t write_usec)
      : connection_(connection), length_(length), write_sec_(write_sec), write_usec_(write_usec) {}

  bool is_readable() const override { return offset_ < length_; }
  // The library asks before every piece of a body, and again before each write of it. A poll is a
  // round trip to the wineserver, and on a loaded machine the six of them per piece took longer
  // than sending a 1 MiB piece; a send that just went through whole says as much. A client that stops
  // reading is still cut off: the accepted socket's send timeout (SO_SNDTIMEO, the write timeout)
  // fails the blocked send, and the next question polls again.
  bool is_writable() const override {
    if (sent_whole_) return true;
    return httplib::detail::select_write(socket(), write_sec_, write_usec_) > 0 &&
           httplib::detail::is_socket_alive(socket());
  }
  ssize_t read(char* ptr, size_t size) override {
    const size_t count = std::min(size, length_ - offset_);
    memcpy(ptr, connection_.received.data() + offset_, count);
    offset_ += count;
    return static_cast<ssize_t>(count);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    const ssize_t sent = httplib::detail::send_socket(socket(), ptr, size, CPPHTTPLIB_SEND_FLAGS);
    sent_whole_ = sent == static_cast<ssize_t>(size);
    return sent;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = connection_.remote_address;
    port = connection_.remote_port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = connection_.local_address;
    port = connection_.local_port;
  }
  socket_t socket() const override { return connection_.socket.Get(); }

 private:
  const ClientConnection& connection_;
  const size_t length_;
  const time_t write_sec_;
  const time_t write_usec_;
  size_t offset_ = 0;
  bool sent_whole_ = false;  // the last send took all it was given
};

// The library answers a Range header it cannot read with 416 before any route sees the request;
// RFC 9110 has a server ignore such a header (another unit, a malformed value) and send the whole
// file. So those lines leave the framed request first. Returns how many bytes went.
size_t DropUnreadableRanges(std::string& bytes, size_t length) {
  size_t header_end = bytes.find("\n\r\n");
  if (header_end == std::string::npos || header_end >= length) return 0;
  size_t removed = 0;
  for (size_t start = bytes.find('\n') + 1; start <= header_end;) {
    const size_t end = bytes.find('\n', start);
    const size_t colon = bytes.find(':', start);
    if (colon < end && colon - start == 5 && httplib::detail::case_ignore::equal(bytes.substr(start, 5), "range")) {
      std::string value = bytes.substr(colon + 1, end - colon - 1);
      value.erase(0, std::min(value.size(), value.find_first_not_of(" \t")));
      value.erase(value.find_last_not_of(" \t\r") + 1);
      httplib::Ranges ranges;
      if (!httplib::detail::parse_range_header(value, ranges)) {
        bytes.erase(start, end + 1 - start);
        removed += end + 1 - start;
        header_end -= end + 1 - start;
        continue;
      }
    }
    start = end + 1;
  }
  return removed;
}

}  // namespace

constexpr RequestIntake::Limits GatewayServer::kLimits;

GatewayServer::GatewayServer()
    : workers_(std::make_unique<httplib::ThreadPool>(kWorkers)),
      intake_(std::make_unique<RequestIntake>(kLimits, [this](std::shared_ptr<ClientConnection> connection, size_t length) {
        workers_->enqueue([this, connection, length] { Answer(connection, length); });
      })) {
  new_task_queue = [] { return new HandOver(); };
  set_payload_max_length(kLimits.body_bytes);
}

GatewayServer::~GatewayServer() {
  // The workers first, while they can still hand their connections back to the intake; a request
  // the intake hands on after that is dropped with the pool.
  workers_->shutdown();
  intake_.reset();
}

bool GatewayServer::process_and_close_socket(socket_t sock) {
  UniqueSocket accepted(sock);
  std::string address;
  int port = 0;
  httplib::detail::get_remote_ip_and_port(sock, address, port);
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (connections_[address] >= kConnectionsPerAddress) {
      static constexpr char kBusy[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
      ::send(sock, kBusy, sizeof(kBusy) - 1, 0);
      return false;
    }
    ++connections_[address];
  }
  auto connection = std::make_shared<ClientConnection>(accepted.Release(), [this, address] {
    std::lock_guard<zel::TkSection> lock(lock_);
    if (--connections_[address] == 0) connections_.erase(address);
  });
  connection->remote_address = address;
  connection->remote_port = port;
  httplib::detail::get_local_ip_and_port(sock, connection->local_address, connection->local_port);
  intake_->Wait(std::move(connection), false);
  return true;
}

void GatewayServer::Answer(std::shared_ptr<ClientConnection> connection, size_t length) {
  bool closed = false;
  const bool last = ++connection->answered >= keep_alive_max_count_;
  bool served = false;
  length -= DropUnreadableRanges(connection->received, length);
  {
    FramedStream stream(*connection, length, write_timeout_sec_, write_timeout_usec_);
    served = process_request(stream, connection->remote_address, connection->remote_port, connection->local_address,
                             connection->local_port, last, closed, nullptr);
  }
  // Whatever of the request the routes left unread goes with it.
  connection->received.erase(0, length);
  if (served && !closed && !last) {
    intake_->Wait(std::move(connection), true);
  } else {
    intake_->Close(std::move(connection));
  }
}

}  // namespace zelhost
