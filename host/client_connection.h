#pragma once

#include <winsock2.h>

#include <functional>
#include <string>

#include "common/unique_handle.h"

namespace zelhost {

struct SocketTraits {
  using Handle = SOCKET;
  static Handle Invalid() noexcept { return INVALID_SOCKET; }
  static void Close(Handle socket) noexcept { ::closesocket(socket); }
};
using UniqueSocket = zel::UniqueHandle<SocketTraits>;

// One client's connection to the gateway from its accept to its close. It moves between the
// intake, which waits for each of its requests, and a worker, which answers one; one of them holds
// it at a time. Closing it gives its client address's place back.
struct ClientConnection {
  ClientConnection(SOCKET accepted, std::function<void()> on_close)
      : socket(accepted), on_close_(std::move(on_close)) {}
  ~ClientConnection() {
    socket.Reset();
    if (on_close_) on_close_();
  }
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  UniqueSocket socket;
  std::string remote_address;
  int remote_port = 0;
  std::string local_address;
  int local_port = 0;
  std::string received;  // what the client sent that no request has taken yet
  size_t answered = 0;   // requests answered on it

 private:
  std::function<void()> on_close_;
};

}  // namespace zelhost
