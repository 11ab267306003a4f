#pragma once

#include <windows.h>
#include <comdef.h>
#include <ocidl.h>

#include <map>
#include <memory>
#include <string>

#include "broker/late_bound_broker.h"
#include "broker/liveness_monitor.h"
#include "broker/satellites.h"
#include "broker/worker_pool.h"
#include "channel/kro_interfaces.h"
#include "common/com_object.h"
#include "common/tk_section.h"

namespace zelhost {

// HRESULT of Deliver() for a service that no component has registered.
constexpr HRESULT kErrorNotRegistered = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201);

class CKroBroker;
using BrokerPtr = zel::ComOwner<CKroBroker>;  // owns one reference to a broker

// The embedded broker: the COM object the module connects to (late-bound clients through
// LateBoundBroker), and its connection point. It keeps one component's registration, raises
// OnServiceRequested on its worker threads (several at once) for registered service names
// (compared ignoring case, as component names are), and routes the module's own requests to a
// SatelliteRouter.
class CKroBroker final : public LateBoundBroker {
 public:
  // A new broker; the caller owns its one reference.
  static BrokerPtr Create(unsigned worker_threads = 8);

  // IKroBroker
  STDMETHODIMP BeginRegistration(VARIANT* handle, LONG service_count) override;
  STDMETHODIMP RegisterService(VARIANT* handle, LONG service_id, BSTR service_name, BSTR display_name) override;
  STDMETHODIMP Unregister(VARIANT* handle, VARIANT* answer) override;
  STDMETHODIMP Request(BSTR target, BSTR service, VARIANT parameters, VARIANT* result, LONG reserved,
                       VARIANT* status) override;
  STDMETHODIMP CompleteRegistration(BSTR host_name, BSTR component_name, VARIANT* handle,
                                    VARIANT* answer) override;
  STDMETHODIMP Detach() override { return S_OK; }
  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;
  // IConnectionPoint (one sink at a time, on _IKroInEvents)
  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  // Host side: raises OnServiceRequested for `service` on a worker thread and waits for it.
  // `*return_code` goes in as the broker's initial value. Fails with kErrorNotRegistered for a
  // service no component registered, CONNECT_E_NOCONNECTION when no sink is advised.
  HRESULT Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input, VARIANT* output,
                  LONG* return_code);
  // Raises the second event (dispatch id 2) on a worker thread.
  HRESULT Notify(LONG code, LONG* answer);

  void SetRouter(std::shared_ptr<SatelliteRouter> router);
  // How many events may run at once (at least 1); see WorkerPool::SetActive.
  void SetWorkers(unsigned threads) { pool_.SetActive(threads); }
  unsigned Workers() const { return pool_.Active(); }
  // Another interface of this object, implemented elsewhere as a tear-off that shares the broker's
  // identity and reference count (null: none). The caller keeps `part` alive while it is set.
  void SetExtension(const IID& iid, IUnknown* part);
  // Drops the event sink and the registration, as when their client is gone.
  void DropClient();
  // Calls the advised sink once; when the call shows that its process is gone, drops the client.
  // True while a live sink is advised.
  bool PingSink() { return liveness_.Ping(Sink()); }

  // The component name of the completed registration; empty when none.
  std::wstring RegisteredComponent() const;
  size_t RegisteredServiceCount() const;

 protected:
  IUnknown* OtherInterface(REFIID iid) override;

 private:
  explicit CKroBroker(unsigned worker_threads);
  ~CKroBroker() override;
  IDispatchPtr Sink() const;
  // Drops the client of `sink`, unless another sink has been advised since.
  void DropClientOf(const IDispatchPtr& sink);
  void ForgetRegistration();
  HRESULT RaiseOnWorker(DISPID id, DISPPARAMS& params);

  mutable zel::TkSection lock_;
  LONG registration_ = 0;  // the open registration's number; 0 when none
  bool complete_ = false;
  std::wstring component_;
  std::map<std::wstring, LONG> services_;  // lower-cased name -> id
  IDispatchPtr sink_;                      // the one advised event sink
  DWORD cookie_ = 0;
  std::shared_ptr<SatelliteRouter> router_;
  IID extension_iid_ = IID_NULL;
  IUnknown* extension_ = nullptr;
  LivenessMonitor liveness_{[this](const IDispatchPtr& sink) { DropClientOf(sink); }};
  WorkerPool pool_;
};

}  // namespace zelhost
