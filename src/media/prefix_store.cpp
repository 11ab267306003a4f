#include "media/prefix_store.h"

#include "common/wide_error.h"
#include "media/document_lock.h"

namespace zel::media {
namespace {

// The key `satellite` already has (the first in key order), else the next free one.
std::wstring KeyFor(const PrefixMap& table, const std::wstring& satellite) {
  for (const auto& [key, entry] : table) {
    if (entry.satellite == satellite) return key;
  }
  std::optional<std::wstring> next = NextPrefixKey(table);
  // Reusing a key would hand another satellite's ids to this one.
  if (!next) throw WideError(L"no medium-id key is left after '" + table.rbegin()->first + L"'");
  return *next;
}

}  // namespace

bool PrefixStore::Open(const std::wstring& path) {
  auto file_guard = file_lock_.Lock();
  {
    auto guard = table_lock_.Lock();
    path_ = path;
  }
  return path.empty() || Reload() != DocumentState::kRefused;
}

DocumentState PrefixStore::Reload() {
  PrefixMap loaded;
  const DocumentState state = LoadPrefixDocument(path_, &loaded);
  auto guard = table_lock_.Lock();
  if (state == DocumentState::kRefused) {
    next_retry_ = ::GetTickCount64() + kLookupRetryMs;
  } else {
    table_.swap(loaded);
    loaded_ = true;
  }
  return state;
}

bool PrefixStore::RetryDue() {
  auto guard = table_lock_.Lock();
  return !loaded_ && !path_.empty() && ::GetTickCount64() >= next_retry_;
}

std::optional<PrefixEntry> PrefixStore::Find(const std::wstring& key) {
  if (RetryDue()) {
    auto file_guard = file_lock_.Lock();
    if (RetryDue()) Reload();
  }
  auto guard = table_lock_.Lock();
  auto found = table_.find(key);
  if (found == table_.end()) return std::nullopt;
  return found->second;
}

PrefixMap PrefixStore::Snapshot() {
  auto guard = table_lock_.Lock();
  return table_;
}

std::wstring PrefixStore::Register(PrefixEntry entry) {
  auto file_guard = file_lock_.Lock();
  if (path_.empty()) throw WideError(L"the data folder is unknown, so no key can be saved");
  // Other processes may have registered since this one last read the document: choose the key
  // from the document as it is now, and keep them out until the new one is in place.
  DocumentLock lock(path_, kLockWaitMs);
  if (!lock.Held()) {
    throw WideError(L"cannot take " + DocumentLock::LockPath(path_) + L" (error " +
                    std::to_wstring(lock.Error()) + L")");
  }
  if (Reload() == DocumentState::kRefused) {
    throw WideError(L"cannot load " + path_ + L"; it is left as it is and no key is given until it loads");
  }
  PrefixMap table = Snapshot();
  const std::wstring key = KeyFor(table, entry.satellite);
  table[key] = std::move(entry);
  const std::string text = PrintPrefixDocument(table);
  if (!WithinDocumentLimits(text)) {
    throw WideError(L"the document would grow to " + std::to_wstring(text.size()) +
                    L" bytes, more than can be loaded again; nothing is saved");
  }
  if (!ReplaceDocument(path_, text)) throw WideError(L"cannot replace " + path_ + L"; nothing is saved");
  auto guard = table_lock_.Lock();
  table_.swap(table);
  return key;
}

}  // namespace zel::media
