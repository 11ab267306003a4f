#pragma once

#include <winsock2.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "client_connection.h"
#include "common/tk_section.h"

namespace zelhost {

// The gateway's waiting room: one thread that watches every connection with no request to answer
// yet, fresh or kept alive, and hands a worker only a request that has fully arrived. Clients that
// send slowly, or not at all, therefore never hold a worker: each must deliver its header section
// within a fixed time from its first byte (whatever its pace), its body within another, and a
// kept-alive connection must start its next request within the idle time; otherwise it is closed.
class RequestIntake {
 public:
  struct Limits {
    DWORD header_ms;      // from a fresh connection, or a kept-alive one's first byte, to a whole header section
    DWORD body_ms;        // from the header section to the whole body
    DWORD idle_ms;        // a kept-alive connection's wait for its next request
    DWORD linger_ms;      // reading and dropping what a client still sends once its answer is out
    size_t header_bytes;  // the largest header section
    uint64_t body_bytes;  // the largest body
  };
  // Called on the intake's thread with a connection whose `received` starts with a whole request
  // of `length` bytes; it must not block.
  using OnRequest = std::function<void(std::shared_ptr<ClientConnection> connection, size_t length)>;

  RequestIntake(const Limits& limits, OnRequest on_request);  // throws std::runtime_error
  ~RequestIntake();
  RequestIntake(const RequestIntake&) = delete;
  RequestIntake& operator=(const RequestIntake&) = delete;

  // Takes a connection that waits for its next request: a fresh one, or one whose answer is out.
  void Wait(std::shared_ptr<ClientConnection> connection, bool kept_alive);
  // Takes a connection whose last answer is out: it stops sending, reads and drops what the client
  // still sends for a moment, then closes (see lingering_server.h for why it does not close at once).
  void Close(std::shared_ptr<ClientConnection> connection);

 private:
  enum class Stage { kIdle, kHeader, kBody, kLinger };
  struct Waiting {
    std::shared_ptr<ClientConnection> connection;
    Stage stage;
    ULONGLONG deadline;
    bool continued = false;  // "100 Continue" sent
  };

  void Add(Waiting waiting);
  void Run();
  // Looks at what a connection has received so far; false once it has left the intake.
  bool Advance(Waiting& waiting, ULONGLONG now);
  // Answers with a refusal and lets the connection linger.
  void Refuse(Waiting& waiting, int status, const char* reason, ULONGLONG now);
  void Linger(Waiting& waiting, ULONGLONG now);

  const Limits limits_;
  const OnRequest on_request_;
  UniqueSocket wake_;  // a datagram to itself ends the thread's wait for its sockets
  zel::TkSection lock_;
  std::vector<Waiting> arrivals_;  // guarded by lock_
  bool stopping_ = false;          // guarded by lock_
  std::thread thread_;
};

}  // namespace zelhost
