#pragma once

#include <windows.h>
#include <comdef.h>

#include <functional>

_COM_SMARTPTR_TYPEDEF(IDispatch, __uuidof(IDispatch));

namespace zelhost {

// True for the failures of a call whose other side's process has gone away.
bool IsDisconnected(HRESULT hr);

// Notices that the process behind a broker's event sink is gone: from the failure of an event
// call, or by calling the sink now and then while no event does. The platform releases nothing of
// a client that died, so the broker lets go of what that client held itself, through `drop`.
class LivenessMonitor {
 public:
  // `drop(sink)`: the broker drops the client of `sink`, unless another sink is advised by now.
  explicit LivenessMonitor(std::function<void(const IDispatchPtr& sink)> drop) : drop_(std::move(drop)) {}

  // After a call to `sink` that returned `hr`.
  void AfterCall(const IDispatchPtr& sink, HRESULT hr) const;
  // Calls `sink` once (null: none is advised). True while a live sink is advised.
  bool Ping(const IDispatchPtr& sink) const;

 private:
  std::function<void(const IDispatchPtr& sink)> drop_;
};

}  // namespace zelhost
