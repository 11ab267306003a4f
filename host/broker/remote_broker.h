#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "broker/broker_host_interface.h"

namespace zelhost {

// The host's hold on the broker in zelbroker.exe: registered beside the host program, activated
// through COM (a running server is shared), attached for this process; left and unregistered when
// destroyed.
class RemoteBroker {
 public:
  // `satellites`: the script's JSON text (empty: none); `journal`: a full path (empty: none);
  // `workers`: how many requests the broker raises at once for this host. Fails with the
  // activation's, Attach's or SetWorkers' HRESULT.
  static HRESULT Connect(const std::wstring& satellites, const std::wstring& journal, unsigned workers,
                         std::unique_ptr<RemoteBroker>* broker);
  ~RemoteBroker();
  RemoteBroker(const RemoteBroker&) = delete;
  RemoteBroker& operator=(const RemoteBroker&) = delete;

  // As CKroBroker::Deliver; the platform's RPC errors when the server is gone.
  HRESULT Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input, VARIANT* output,
                  LONG* return_code);

 private:
  explicit RemoteBroker(IZelBrokerHostPtr host) : host_(std::move(host)) {}
  IZelBrokerHostPtr host_;
};

}  // namespace zelhost
