#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "common/scoped_variant.h"
#include "channel/broker_channel.h"
#include "core/kro_event_sink.h"
#include "core/module_parts.h"

namespace zel::core {

// The module's single object: the broker event sink, its broker registration, and the state the
// services share. Created by Initialize, released by Close. A request that is still running when
// Close releases it keeps it alive until the request returns (see AddHold).
class CKroAtl final : public CKroEventSink {
 public:
  static constexpr const wchar_t* kComponentName = L"VarIrUzovuVudir";

  // Makes "\RodEzeduduv\Zel\" under the all-users application-data folder and loads the prefix
  // table from "zel.xml" there.
  CKroAtl();

  // Connects to the broker and registers the service table. 0 on success, 1 on failure.
  LONG RegisterWithBroker();
  // Unregisters and closes the event connection; safe to call more than once.
  void Disconnect();

  // Lifetime: the creator holds one reference; every running event call, every COM reference to
  // the sink and every background thread that uses the object holds another. The last ReleaseHold
  // destroys the object (and answers true).
  void AddHold() noexcept { AddRef(); }
  bool ReleaseHold() noexcept { return Release() == 0; }
  // True while anyone but the creator holds the object (a call still running, a reference kept).
  bool IsHeldElsewhere() const noexcept { return IsShared(); }

  bool IsRegistered() const noexcept { return registered_ != 0; }
  bool IsAdvised() const noexcept { return advised_ != 0; }
  // The parts its services are lent, request by request.
  const ModuleParts& Parts() const noexcept { return parts_; }
  const channel::BrokerChannel& Channel() const noexcept { return *channel_; }

 protected:
  HRESULT OnServiceRequested(BSTR requester, BSTR service, VARIANT* input, VARIANT* output,
                             LONG* return_code) override;
  HRESULT OnBrokerNotify(LONG code, LONG* answer) override;

 private:
  ~CKroAtl() override;
  // Creates the broker, opens the event connection and attaches the channel.
  HRESULT AttachBroker();
  bool Connect();
  // The registration sequence: S_OK registered, S_FALSE refused by the broker, or the failure.
  HRESULT RegisterServices(IKroBroker* broker);

  ScopedVariant registration_handle_;
  LONG registered_ = 0;
  LONG advised_ = 0;
  std::wstring host_name_ = L"localhost";
  std::wstring component_name_;
  // Attached while the event connection is open; shared with grouped requests that outlive Close.
  std::shared_ptr<channel::BrokerChannel> channel_ = std::make_shared<channel::BrokerChannel>();
  media::PrefixStore prefixes_;
  browse::CLocalMedia local_media_{*channel_};
  media::DvrTable dvrs_;
  std::shared_ptr<media::SubRequestPlaces> sub_requests_ = std::make_shared<media::SubRequestPlaces>();
  zip::ZipJobs zip_jobs_;
  const ModuleParts parts_{channel_, prefixes_, local_media_, dvrs_, sub_requests_, zip_jobs_};
};

}  // namespace zel::core
