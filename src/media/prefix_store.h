#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "common/tk_section.h"
#include "media/prefix_table.h"

namespace zel::media {

// The prefix table and its configuration document, which several processes may share (one data
// folder per machine). The document is the truth: a registration re-reads it under the
// cross-process DocumentLock before it chooses a key, and answers a key only once the document
// holding it has replaced the old one. A document that exists but cannot be loaded is never
// written over: registrations are refused until a load succeeds, and lookups retry the load.
class PrefixStore {
 public:
  // How long a registration waits for another process's registration to finish.
  static constexpr DWORD kLockWaitMs = 10000;
  // The least time between two loads retried by lookups while the document cannot be loaded.
  static constexpr DWORD kLookupRetryMs = 1000;

  // Sets the document's path (empty: no data folder; nothing loads, every registration fails)
  // and loads it. False when a document exists but could not be loaded.
  bool Open(const std::wstring& path);
  const std::wstring& Path() const noexcept { return path_; }

  // A copy of the entry stored under `key`; nullopt when absent (or while nothing is loaded).
  std::optional<PrefixEntry> Find(const std::wstring& key);

  // Gives `entry.satellite` its key (the one it has, else the next free one), stores `entry`
  // under it and saves the document. Returns the key; throws WideError with the reason when it
  // was not saved, in which case neither the document nor the table changed.
  std::wstring Register(PrefixEntry entry);

  // A copy of the table as last loaded or saved.
  PrefixMap Snapshot();

 private:
  // Loads the document into the table; keeps the old table when it is refused. File lock held.
  DocumentState Reload();
  // Whether a lookup should try the load again now.
  bool RetryDue();

  std::wstring path_;
  TkSection file_lock_;   // one registration or load of this process at a time
  TkSection table_lock_;  // table_, loaded_ and next_retry_; never held across file work
  PrefixMap table_;
  bool loaded_ = false;
  ULONGLONG next_retry_ = 0;
};

}  // namespace zel::media
