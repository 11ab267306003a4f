#pragma once

#include <map>
#include <memory>
#include <string>

#include <httplib.h>

#include "client_connection.h"
#include "common/tk_section.h"
#include "request_intake.h"

namespace zelhost {

// The gateway's HTTP server: the library's parsing and routing, with its own way of taking
// connections. Each accepted connection goes to the intake (request_intake.h), which waits for a
// whole request; only then does a worker parse and answer it, from the bytes the intake framed,
// and hand the connection back to wait for its next request. Slow clients therefore wait in the
// intake and never fill the workers, and a route that answers without reading a body cannot leave
// it to be taken for the next request. One client address holds a bounded number of connections.
class GatewayServer final : public httplib::Server {
 public:
  static constexpr size_t kWorkers = 16;
  static constexpr int kConnectionsPerAddress = 100;
  static constexpr RequestIntake::Limits kLimits = {
      5000,       // header_ms
      10000,      // body_ms
      5000,       // idle_ms
      1000,       // linger_ms
      64 << 10,   // header_bytes
      4 << 20,    // body_bytes
  };

  GatewayServer();
  ~GatewayServer() override;

 private:
  // On the accepting thread: hands the connection to the intake.
  bool process_and_close_socket(socket_t sock) override;
  // On a worker: answers the request the intake framed at the start of connection->received.
  void Answer(std::shared_ptr<ClientConnection> connection, size_t length);

  zel::TkSection lock_;
  std::map<std::string, int> connections_;  // open connections by client address; guarded by lock_
  std::unique_ptr<httplib::ThreadPool> workers_;
  std::unique_ptr<RequestIntake> intake_;
};

}  // namespace zelhost
