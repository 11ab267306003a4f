#pragma once

#include <windows.h>
#include <comdef.h>
#include <ocidl.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "broker/satellites.h"
#include "broker/worker_pool.h"
#include "common/tk_section.h"
#include "channel/kro_interfaces.h"

_COM_SMARTPTR_TYPEDEF(IDispatch, __uuidof(IDispatch));
_COM_SMARTPTR_TYPEDEF(ITypeInfo, __uuidof(ITypeInfo));

namespace zelhost {

// Failures the broker can be told to produce, so that the module's handling of them can be tried.
struct BrokerFaults {
  int fail_register_call = 0;  // the n-th RegisterService call (1-based) fails; 0: none
  bool fail_begin = false;     // BeginRegistration fails
  bool fail_advise = false;    // the connection point refuses Advise
  LONG complete_answer = 0;    // the answer CompleteRegistration gives; non-zero refuses
  HRESULT failure = E_FAIL;    // the HRESULT of an injected failure
};

// HRESULT of Deliver() for a service that no component has registered.
constexpr HRESULT kErrorNotRegistered = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201);

class CKroBroker;

// Owns one reference to a broker.
struct BrokerRelease {
  void operator()(CKroBroker* broker) const;
};
using BrokerPtr = std::unique_ptr<CKroBroker, BrokerRelease>;

// The embedded broker: the COM object the module connects to. It keeps one component's
// registration, raises OnServiceRequested on its worker threads (several at once) for registered
// service names (compared ignoring case, as component names are), and routes the module's own
// requests to a SatelliteRouter.
class CKroBroker final : public IKroBroker, public IConnectionPointContainer, public IConnectionPoint {
 public:
  // A new broker; the caller owns its one reference.
  static BrokerPtr Create(unsigned worker_threads = 8);

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  // IDispatch, for late-bound clients: described by the type library in zelbroker.exe beside the
  // program (TYPE_E_CANTLOADLIBRARY without it).
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* exception, UINT* bad_argument) override;
  // IKroBroker
  STDMETHODIMP BeginRegistration(VARIANT* handle, LONG service_count) override;
  STDMETHODIMP RegisterService(VARIANT* handle, LONG service_id, BSTR service_name, BSTR display_name) override;
  STDMETHODIMP Unregister(VARIANT* handle, VARIANT* answer) override;
  STDMETHODIMP Request(BSTR target, BSTR service, VARIANT parameters, VARIANT* result, LONG reserved,
                       VARIANT* status) override;
  STDMETHODIMP CompleteRegistration(BSTR host_name, BSTR component_name, VARIANT* handle,
                                    VARIANT* answer) override;
  STDMETHODIMP Detach() override;
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
  // Drops the event sink and the registration, as when their client is gone; `why` is recorded.
  void DropClient(const std::wstring& why);
  // Calls the advised sink once; when the call shows that its process is gone, drops the client.
  // True while a live sink is advised.
  bool PingSink();
  void SetFaults(const BrokerFaults& faults);

  // What the broker was asked to do, one line per operation, for tests:
  // "BeginRegistration 40", "RegisterService 0 GetFileInfo GetFileInfo",
  // "CompleteRegistration localhost VarIrUzovuVudir", "Unregister", "Detach", "Advise", "Unadvise".
  std::vector<std::wstring> Operations() const;
  // The component name of the completed registration; empty when none.
  std::wstring RegisteredComponent() const;
  size_t RegisteredServiceCount() const;

 private:
  explicit CKroBroker(unsigned worker_threads);
  ~CKroBroker();
  void Record(std::wstring operation);
  IUnknown* Extension(const IID& iid) const;
  // IKroBroker's vtable description, loaded once; null when the type library cannot be loaded.
  ITypeInfo* TypeInfo();
  HRESULT RaiseOnWorker(DISPID id, DISPPARAMS& params);
  // Drops `sink`'s client when `hr` says that the sink's process is gone.
  void CheckSinkCall(const IDispatchPtr& sink, HRESULT hr);

  std::atomic<ULONG> references_{1};
  mutable zel::TkSection lock_;
  BrokerFaults faults_;
  int register_calls_ = 0;
  LONG registration_ = 0;         // the open registration's number; 0 when none
  bool complete_ = false;
  std::wstring component_;
  std::map<std::wstring, LONG> services_;  // lower-cased name -> id
  IDispatchPtr sink_;            // the one advised event sink
  DWORD cookie_ = 0;
  std::vector<std::wstring> operations_;
  std::shared_ptr<SatelliteRouter> router_;
  IID extension_iid_ = IID_NULL;
  IUnknown* extension_ = nullptr;
  ITypeInfoPtr type_info_;
  WorkerPool pool_;
};

// True for the failures of a call whose other side's process has gone away.
bool IsDisconnected(HRESULT hr);

inline void BrokerRelease::operator()(CKroBroker* broker) const { broker->Release(); }

// Registers a broker's class object (CoRegisterClassObject), so that the module's CoCreateInstance
// finds it; revokes it when destroyed. `context`: CLSCTX_INPROC_SERVER for this process alone (a
// local-server entry of a process that crashes would stay in the platform's table and send other
// processes' activations to the dead process), CLSCTX_LOCAL_SERVER for zelbroker.exe.
class BrokerClassRegistration {
 public:
  explicit BrokerClassRegistration(CKroBroker* broker, DWORD context = CLSCTX_INPROC_SERVER);
  ~BrokerClassRegistration();
  BrokerClassRegistration(const BrokerClassRegistration&) = delete;
  BrokerClassRegistration& operator=(const BrokerClassRegistration&) = delete;
  HRESULT Result() const { return hr_; }

 private:
  IClassFactory* factory_ = nullptr;
  DWORD cookie_ = 0;
  HRESULT hr_ = E_FAIL;
};

}  // namespace zelhost
