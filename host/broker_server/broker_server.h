#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "broker/kro_broker.h"
#include "common/tk_log.h"
#include "common/tk_section.h"
#include "common/unique_handle.h"

namespace zelhost {

// The broker as a local COM server (zelbroker.exe): the embedded broker object, shared by every
// client through one class object (REGCLS_MULTIPLEUSE), plus IZelBrokerHost as a tear-off through
// which one host process at a time hands over its satellites and journal and asks for deliveries.
//
// The platform does not release the objects of a client that died, so the server watches for that
// itself: the attached host's process handle, and a call to the advised event sink now and then.
// What a dead client held (registration, sink, satellites) is dropped. The server ends when no host
// has been attached and no sink advised for `idle_ms`.
class BrokerServer {
 public:
  BrokerServer(unsigned workers, DWORD idle_ms);
  ~BrokerServer();
  BrokerServer(const BrokerServer&) = delete;
  BrokerServer& operator=(const BrokerServer&) = delete;

  // Registers the class object and serves until idle; the process's exit status.
  int Run();

 private:
  class HostPart;
  friend class HostPart;

  HRESULT Attach(LONG process_id, BSTR satellites, BSTR journal);
  HRESULT Leave(LONG process_id);
  HRESULT SetWorkers(LONG process_id, LONG count);
  // One round of watching: a host that died is let go. True while the server is in use.
  bool Watch();
  void ForgetHost(const wchar_t* why);

  zel::CTkLog log_;
  DWORD idle_ms_;
  unsigned workers_;  // the broker's count when no host has set one
  BrokerPtr broker_;
  std::unique_ptr<HostPart> part_;
  zel::TkSection lock_;
  DWORD host_id_ = 0;  // 0: no host attached
  zel::UniqueKernelHandle host_process_;
  DWORD idle_since_ = 0;
  bool closing_ = false;
};

}  // namespace zelhost
