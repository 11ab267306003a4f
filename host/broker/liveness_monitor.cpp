#include "broker/liveness_monitor.h"

namespace zelhost {

bool IsDisconnected(HRESULT hr) {
  return hr == RPC_E_DISCONNECTED || hr == CO_E_OBJNOTCONNECTED || hr == RPC_E_SERVER_DIED ||
         hr == RPC_E_SERVER_DIED_DNE || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
         hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE);
}

void LivenessMonitor::AfterCall(const IDispatchPtr& sink, HRESULT hr) const {
  if (IsDisconnected(hr)) drop_(sink);
}

// The cheapest call a sink answers: it reaches the sink's process and does nothing there.
bool LivenessMonitor::Ping(const IDispatchPtr& sink) const {
  if (sink == nullptr) return false;
  UINT count = 0;
  const HRESULT hr = sink->GetTypeInfoCount(&count);
  AfterCall(sink, hr);
  return !IsDisconnected(hr);
}

}  // namespace zelhost
