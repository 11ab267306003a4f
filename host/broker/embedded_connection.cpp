#include <memory>

#include "broker/broker_connection.h"
#include "broker/broker_registration.h"
#include "broker/kro_broker.h"
#include "broker/satellites.h"

namespace zelhost {
namespace {

// The broker in the host's process, registered as a class of this process alone.
class EmbeddedConnection final : public BrokerConnection {
 public:
  explicit EmbeddedConnection(const HostOptions& options)
      : journal_(options.journal_path), broker_(CKroBroker::Create(options.workers)) {
    auto satellites = std::make_shared<SatelliteScript>(
        options.satellites_path.empty() ? Json::object() : ParseJson(ReadTextFile(options.satellites_path)));
    satellites->SetJournal(&journal_);
    broker_->SetRouter(std::move(satellites));
    registration_ = std::make_unique<BrokerClassRegistration>(broker_->Identity());
    if (FAILED(registration_->Result())) throw HostError("could not register the broker's class object");
  }

  HRESULT Deliver(const std::wstring& requester, const std::wstring& service, VARIANT& input, VARIANT* output,
                  LONG* return_code) override {
    return broker_->Deliver(requester, service, input, output, return_code);
  }
  CKroBroker* Embedded() override { return broker_.get(); }

 private:
  Journal journal_;  // outlives the broker, whose satellites write to it
  BrokerPtr broker_;
  std::unique_ptr<BrokerClassRegistration> registration_;  // revoked first
};

}  // namespace

std::unique_ptr<BrokerConnection> StartEmbeddedBroker(const HostOptions& options) {
  return std::make_unique<EmbeddedConnection>(options);
}

}  // namespace zelhost
