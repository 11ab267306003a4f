#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "browse/local_media.h"
#include "common/scoped_variant.h"
#include "common/tk_section.h"
#include "core/kro_event_sink.h"
#include "core/module.h"
#include "media/prefix_store.h"

namespace zel {

// The module's single object: the broker event sink, its broker registration, and the state the
// services share. Created by Initialize, released by Close. A request that is still running when
// Close releases it keeps it alive until the request returns (see AddHold).
class CKroAtl final : public CKroEventSink {
 public:
  static constexpr const wchar_t* kComponentName = L"VarIrUzovuVudir";

  // Requester name -> the two strings it registered with "Register Custom DVR".
  using DvrMap = std::map<std::wstring, std::pair<std::wstring, std::wstring>>;

  // Makes "\RodEzeduduv\Zel\" under the all-users application-data folder and loads the prefix
  // table from "zel.xml" there.
  CKroAtl();

  // Connects to the broker and registers the service table. 0 on success, 1 on failure.
  LONG RegisterWithBroker();
  // Unregisters and closes the event connection; safe to call more than once.
  void Disconnect();

  // Lifetime: the creator holds one reference; every running event call and every background
  // thread that uses the object holds another. The last ReleaseHold destroys the object.
  void AddHold() noexcept { holds_.fetch_add(1, std::memory_order_relaxed); }
  void ReleaseHold() noexcept;

  bool IsRegistered() const noexcept { return registered_ != 0; }
  bool IsAdvised() const noexcept { return advised_ != 0; }
  // Full path of "zel.xml"; empty when the application-data folder is unknown.
  const std::wstring& ConfigPath() const noexcept { return prefixes_.Path(); }
  // Folder listings and the medium ids of local files.
  CLocalMedia& LocalMedia() noexcept { return local_media_; }

  // The medium-id prefix table and its document "zel.xml".
  media::PrefixStore& Prefixes() noexcept { return prefixes_; }
  // A copy of the entry stored under `key`; nullopt when absent.
  std::optional<media::PrefixEntry> FindPrefix(const std::wstring& key) { return prefixes_.Find(key); }

  // The custom DVR registrations; hold DvrLock() around every use of DvrTable().
  TkSection& DvrLock() noexcept { return dvr_lock_; }
  DvrMap& DvrTable() noexcept { return dvr_table_; }

 protected:
  HRESULT OnServiceRequested(BSTR requester, BSTR service, VARIANT* input, VARIANT* output,
                             LONG* return_code) override;
  HRESULT OnBrokerNotify(LONG code, LONG* answer) override;
  void BeginCall() override { AddHold(); }
  void EndCall() override { ReleaseHold(); }

 private:
  ~CKroAtl() override;
  bool Connect();

  ScopedVariant registration_handle_;
  LONG registered_ = 0;
  LONG advised_ = 0;
  CLocalMedia local_media_;  // gets its copy of the broker pointer when registration completes
  std::wstring host_name_ = L"localhost";
  std::wstring component_name_;
  media::PrefixStore prefixes_;
  TkSection dvr_lock_;
  DvrMap dvr_table_;
  std::atomic<LONG> holds_{1};
};

}  // namespace zel
