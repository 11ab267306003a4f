#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string>
#include <vector>

#include "broker/kro_broker.h"
#include "broker/late_bound_broker.h"
#include "common/com_object.h"
#include "common/tk_section.h"

namespace zeltest {

// Failures the broker can be told to produce, so that the module's handling of them can be tried.
struct BrokerFaults {
  int fail_register_call = 0;  // the n-th RegisterService call (1-based) fails; 0: none
  bool fail_begin = false;     // BeginRegistration fails
  bool fail_advise = false;    // the connection point refuses Advise
  LONG complete_answer = 0;    // the answer CompleteRegistration gives; non-zero refuses
  HRESULT failure = E_FAIL;    // the HRESULT of an injected failure
};

// The broker as the module meets it in the tests: a wrapper around an embedded broker that writes
// down every registration and connection call, and fails the ones `faults` names, before passing
// the rest on. Late-bound calls reach the wrapper's own operations, so they are written down too.
// Events and satellite requests go straight through.
class InstrumentedBroker final : public zelhost::LateBoundBroker {
 public:
  static zel::ComOwner<InstrumentedBroker> Around(zelhost::BrokerPtr broker, const BrokerFaults& faults = {}) {
    return zel::ComOwner<InstrumentedBroker>(new InstrumentedBroker(std::move(broker), faults));
  }

  // IKroBroker
  STDMETHODIMP BeginRegistration(VARIANT* handle, LONG service_count) override;
  STDMETHODIMP RegisterService(VARIANT* handle, LONG service_id, BSTR service_name, BSTR display_name) override;
  STDMETHODIMP Unregister(VARIANT* handle, VARIANT* answer) override;
  STDMETHODIMP Request(BSTR target, BSTR service, VARIANT parameters, VARIANT* result, LONG reserved,
                       VARIANT* status) override {
    return broker_->Request(target, service, parameters, result, reserved, status);
  }
  STDMETHODIMP CompleteRegistration(BSTR host_name, BSTR component_name, VARIANT* handle,
                                    VARIANT* answer) override;
  STDMETHODIMP Detach() override;
  // IConnectionPointContainer: this object is its own connection point.
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** points) override {
    return broker_->EnumConnectionPoints(points);
  }
  STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;
  // IConnectionPoint
  STDMETHODIMP GetConnectionInterface(IID* iid) override { return broker_->GetConnectionInterface(iid); }
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** connections) override {
    return broker_->EnumConnections(connections);
  }

  // What the broker was asked to do, one line per operation:
  // "BeginRegistration 40", "RegisterService 0 GetFileInfo GetFileInfo",
  // "CompleteRegistration localhost VarIrUzovuVudir", "Unregister", "Detach", "Advise", "Unadvise".
  std::vector<std::wstring> Operations() const;
  // The broker behind the wrapper.
  zelhost::CKroBroker& Inner() { return *broker_; }

 private:
  InstrumentedBroker(zelhost::BrokerPtr broker, const BrokerFaults& faults)
      : broker_(std::move(broker)), faults_(faults) {}
  // Writes `operation` down.
  void Record(std::wstring operation);

  zelhost::BrokerPtr broker_;
  const BrokerFaults faults_;
  mutable zel::TkSection lock_;
  std::vector<std::wstring> operations_;
  int register_calls_ = 0;
};

}  // namespace zeltest
