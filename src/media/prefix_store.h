#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/tk_section.h"
#include "media/document_lock.h"
#include "media/prefix_table.h"

namespace zel::media {

// The prefix table and its configuration document, which several processes may share (one data
// folder per machine). The document is the truth: a registration re-reads it under the
// cross-process DocumentLock before it chooses a key, and then saves it.
//
// Nothing that can be served is refused, and nothing saved is lost:
// - a document that is there but cannot be loaded (empty, not XML, cut short, no usable Version)
//   is renamed beside itself to "<name>.unreadable-<UTC time>", never deleted, and registrations
//   start a new table; only a document of a newer Version (a later product's) refuses them;
// - a key whose document cannot be written (read-only, disk full, the lock held too long) is
//   answered and routed from memory all the same, left in the lock file's note for the other
//   processes, and saved by the next registration or at Close;
// - a lookup that misses looks again at the document, at most once a second, when its time or
//   size changed, and so sees the keys other processes registered.
class PrefixStore {
 public:
  // How long a registration waits for another process's registration to finish.
  static constexpr DWORD kLockWaitMs = 10000;
  // The least time between two looks at the document by lookups that miss.
  static constexpr DWORD kLookupRetryMs = 1000;

  // Sets the document's path (empty: no data folder; nothing loads, every registration fails)
  // and loads it. False, with an ERROR line, when a document exists that registrations must not
  // replace (a newer Version, or one that cannot be read at all).
  bool Open(const std::wstring& path);
  const std::wstring& Path() const noexcept { return path_; }

  // A copy of the entry stored under `key`: one registered here first, else the document's.
  std::optional<PrefixEntry> Find(const std::wstring& key);

  // Gives `entry.satellite` its key (the one it has, else the next free one), stores `entry`
  // under it and saves the document. Returns the key, also when the save failed (ERROR line; the
  // entry waits in memory for the next save). Throws WideError with the reason when no key can be
  // given: no data folder, a document that cannot be read or is of a newer Version, no key left,
  // a document that would grow past kLargestDocument.
  std::wstring Register(PrefixEntry entry);

  // Saves what registrations left unsaved (the module's Close). True when nothing is left.
  bool SaveUnsaved() noexcept;

 private:
  // When and how large the document was as last read or written.
  struct Stamp {
    FILETIME written{};
    uint64_t size = 0;
    bool operator==(const Stamp& other) const;
  };
  static std::optional<Stamp> StampOf(const std::wstring& path);

  // The document, the other processes' unsaved entries (the lock's note) and this process's,
  // merged; then `entry`, if any, stored under its key (returned) and the whole saved. File lock
  // held.
  std::wstring Save(std::optional<PrefixEntry> entry);
  // Reads the document under the lock. One that cannot be loaded is set aside and replaced by the
  // table as this process last knew it (empty at start); one that cannot be read or is newer
  // throws WideError.
  DocumentTable LoadForSave();
  // Throws WideError for a document that cannot be read or is of a newer Version.
  void RefuseUnusable(const DocumentLoad& load) const;
  void SetAside(const std::wstring& reason);
  // Takes a loaded document as the table when nobody changed it since `seen`.
  void Adopt(DocumentTable document, const std::optional<Stamp>& stamp, const std::optional<Stamp>& seen);
  void WarnOfKept(const std::vector<KeptElement>& kept);

  std::wstring path_;
  TkSection file_lock_;   // one registration or save of this process at a time
  TkSection table_lock_;  // the members below; never held across file work
  DocumentTable document_;
  PrefixMap unsaved_;  // registered here, not yet in the document
  std::optional<Stamp> stamp_;
  ULONGLONG next_look_ = 0;
};

}  // namespace zel::media
