#pragma once

#include <httplib.h>

namespace zelhost {

// An HTTP server that ends a connection the way established web servers do: once the last answer
// is out it stops sending, then reads and drops what the client still sends for a moment before
// the socket goes. Closing at once resets the connection under a client that has already sent its
// next request on it; some WinINet builds re-send a ranged request on the connection of an answer
// they did not read to the end, and a reset then fails the request instead of letting the client
// see the connection end and open a new one.
class LingeringServer : public httplib::Server {
 public:
  static constexpr DWORD kLingerMs = 1000;

 protected:
  bool process_and_close_socket(socket_t sock) override {
    std::string remote_address, local_address;
    int remote_port = 0, local_port = 0;
    httplib::detail::get_remote_ip_and_port(sock, remote_address, remote_port);
    httplib::detail::get_local_ip_and_port(sock, local_address, local_port);
    const bool served = httplib::detail::process_server_socket(
        svr_sock_, sock, keep_alive_max_count_, keep_alive_timeout_sec_, read_timeout_sec_, read_timeout_usec_,
        write_timeout_sec_, write_timeout_usec_,
        [&](httplib::Stream& stream, bool close_connection, bool& connection_closed) {
          return process_request(stream, remote_address, remote_port, local_address, local_port, close_connection,
                                 connection_closed, nullptr);
        });
    ::shutdown(sock, SD_SEND);
    DWORD timeout_ms = kLingerMs;
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout_ms), sizeof(timeout_ms));
    const DWORD until = ::GetTickCount() + kLingerMs;
    char dropped[4096];
    while (static_cast<LONG>(until - ::GetTickCount()) > 0 && ::recv(sock, dropped, sizeof(dropped), 0) > 0) {
    }
    ::closesocket(sock);
    return served;
  }
};

}  // namespace zelhost
