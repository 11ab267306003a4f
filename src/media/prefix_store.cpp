#include "media/prefix_store.h"

#include <cwchar>
#include <vector>

#include "common/module_log.h"
#include "common/wide_error.h"

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

// Adds `overlay`'s entries to `document`: a key it lacks, or one of the same satellite (a newer
// registration of it), takes the overlay's entry. Returns the keys the document gives to another
// satellite, which stay as the document has them.
std::vector<std::wstring> Overlay(DocumentTable& document, const PrefixMap& overlay) {
  std::vector<std::wstring> taken;
  for (const auto& [key, entry] : overlay) {
    const auto found = document.table.find(key);
    if (found == document.table.end() || found->second.satellite == entry.satellite) {
      document.Put(key, entry);
    } else {
      taken.push_back(key);
    }
  }
  return taken;
}

std::wstring UtcTimeForFileName() {
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  wchar_t text[32];
  std::swprintf(text, 32, L"%04u%02u%02uT%02u%02u%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute,
                now.wSecond);
  return text;
}

std::wstring ErrorText(DWORD error) { return L"error " + std::to_wstring(error); }

}  // namespace

bool PrefixStore::Stamp::operator==(const Stamp& other) const {
  return written.dwLowDateTime == other.written.dwLowDateTime &&
         written.dwHighDateTime == other.written.dwHighDateTime && size == other.size;
}

std::optional<PrefixStore::Stamp> PrefixStore::StampOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return Stamp{data.ftLastWriteTime, (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow};
}

bool PrefixStore::Open(const std::wstring& path) {
  auto file_guard = file_lock_.Lock();
  {
    auto guard = table_lock_.Lock();
    path_ = path;
  }
  if (path.empty()) return true;
  const std::optional<Stamp> seen = [&] {
    auto guard = table_lock_.Lock();
    return stamp_;
  }();
  const std::optional<Stamp> stamp = StampOf(path_);
  DocumentTable document;
  const DocumentLoad load = LoadPrefixDocument(path_, &document);
  switch (load.state) {
    case DocumentState::kLoaded:
    case DocumentState::kAbsent:
      Adopt(std::move(document), stamp, seen);
      return true;
    case DocumentState::kMalformed:
      try {
        // Set aside under the lock, so that a document another process is just replacing is not.
        DocumentLock lock(path_, kLockWaitMs);
        if (lock.Held()) {
          DocumentTable fresh = LoadForSave();
          Adopt(std::move(fresh), StampOf(path_), seen);
        }
      } catch (const WideError&) {
        // Logged where it arose; the next registration tries again.
      }
      return true;
    case DocumentState::kNewer:
    case DocumentState::kUnreadable:
      break;
  }
  ModuleLog().Error(L"Cannot load the medium-id prefixes from %s: %s; registrations are refused until it loads",
                    path_.c_str(), load.reason.c_str());
  return false;
}

void PrefixStore::Adopt(DocumentTable document, const std::optional<Stamp>& stamp, const std::optional<Stamp>& seen) {
  std::vector<KeptElement> kept = document.kept;
  {
    auto guard = table_lock_.Lock();
    if (!(stamp_ == seen)) return;  // a save of this process came first and is newer
    document_ = std::move(document);
    stamp_ = stamp;
  }
  WarnOfKept(kept);
}

void PrefixStore::WarnOfKept(const std::vector<KeptElement>& kept) {
  if (kept.empty()) return;
  std::wstring names;
  for (const KeptElement& element : kept) names += (names.empty() ? L"" : L", ") + element.description;
  ModuleLog().Warn(L"The medium-id prefixes in %s hold %u entries that are not used as written: %s; they are kept in "
                   L"the document as they are, and lookups use the first entry of each Prefix",
                   path_.c_str(), static_cast<unsigned>(kept.size()), names.c_str());
}

std::optional<PrefixEntry> PrefixStore::Find(const std::wstring& key) {
  std::optional<Stamp> seen;
  {
    auto guard = table_lock_.Lock();
    if (auto mine = unsaved_.find(key); mine != unsaved_.end()) return mine->second;
    if (auto found = document_.table.find(key); found != document_.table.end()) return found->second;
    const ULONGLONG now = ::GetTickCount64();
    if (path_.empty() || now < next_look_) return std::nullopt;
    next_look_ = now + kLookupRetryMs;
    seen = stamp_;
  }
  // Another process may have registered it. The document is replaced whole, so it can be read
  // without the lock; what a registration of this process saves meanwhile is kept (Adopt).
  const std::optional<Stamp> stamp = StampOf(path_);
  if (!stamp || stamp == seen) return std::nullopt;
  DocumentTable document;
  const DocumentState state = LoadPrefixDocument(path_, &document).state;
  if (state != DocumentState::kLoaded) return std::nullopt;
  Adopt(std::move(document), stamp, seen);
  auto guard = table_lock_.Lock();
  if (auto found = document_.table.find(key); found != document_.table.end()) return found->second;
  return std::nullopt;
}

DocumentTable PrefixStore::LoadForSave() {
  DocumentTable document;
  const DocumentLoad load = LoadPrefixDocument(path_, &document);
  RefuseUnusable(load);
  if (load.state == DocumentState::kMalformed) {
    SetAside(load.reason);
    // The new table starts from the keys this process knows, so that none is given twice.
    auto guard = table_lock_.Lock();
    document = document_;
  }
  return document;
}

void PrefixStore::RefuseUnusable(const DocumentLoad& load) const {
  if (load.state == DocumentState::kNewer) {
    ModuleLog().Error(L"The medium-id prefixes in %s are a later product's (%s); they are left as they are and "
                      L"no key is given",
                      path_.c_str(), load.reason.c_str());
    throw WideError(L"cannot load " + path_ + L": " + load.reason + L"; no key is given");
  }
  if (load.state == DocumentState::kUnreadable) {
    throw WideError(L"cannot load " + path_ + L": " + load.reason + L"; it is left as it is and no key is given "
                    L"until it loads");
  }
}

void PrefixStore::SetAside(const std::wstring& reason) {
  const std::wstring base = path_ + L".unreadable-" + UtcTimeForFileName();
  DWORD error = ERROR_SUCCESS;
  for (int attempt = 1; attempt <= 100; ++attempt) {
    const std::wstring target = attempt == 1 ? base : base + L"-" + std::to_wstring(attempt);
    if (::MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
      ModuleLog().Error(L"The medium-id prefixes in %s cannot be loaded: %s. The document is kept as %s and "
                        L"registrations start a new table",
                        path_.c_str(), reason.c_str(), target.c_str());
      return;
    }
    error = ::GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) break;
  }
  ModuleLog().Error(L"The medium-id prefixes in %s cannot be loaded (%s) nor set aside (%s); no key is given until "
                    L"one of the two succeeds",
                    path_.c_str(), reason.c_str(), ErrorText(error).c_str());
  throw WideError(L"cannot load " + path_ + L" (" + reason + L") nor set it aside; it is left as it is");
}

std::wstring PrefixStore::Register(PrefixEntry entry) {
  auto file_guard = file_lock_.Lock();
  if (path_.empty()) throw WideError(L"the data folder is unknown, so no key can be saved");
  return Save(std::move(entry));
}

bool PrefixStore::SaveUnsaved() noexcept {
  try {
    auto file_guard = file_lock_.Lock();
    {
      auto guard = table_lock_.Lock();
      if (unsaved_.empty() || path_.empty()) return true;
    }
    Save(std::nullopt);
    auto guard = table_lock_.Lock();
    return unsaved_.empty();
  } catch (const WideError& error) {
    ModuleLog().Error(L"The medium-id prefixes registered here cannot be saved to %s: %s", path_.c_str(),
                      error.Message().c_str());
  } catch (...) {
    ModuleLog().Error(L"The medium-id prefixes registered here cannot be saved to %s: out of memory", path_.c_str());
  }
  return false;
}

std::wstring PrefixStore::Save(std::optional<PrefixEntry> entry) {
  // Other processes may have registered since this one last read the document: choose the key
  // from the document as it is now, and keep them out until the new one is in place.
  DocumentLock lock(path_, kLockWaitMs);
  std::wstring failure;  // why the document cannot be saved now
  DocumentTable document;
  if (lock.Held()) {
    document = LoadForSave();
    DocumentTable note;
    const std::string note_text = lock.ReadNote();
    if (!note_text.empty() && ParsePrefixDocument(note_text, &note).state == DocumentState::kLoaded) {
      Overlay(document, note.table);
    }
  } else {
    failure = L"cannot take " + DocumentLock::LockPath(path_) + L" within " + std::to_wstring(kLockWaitMs) +
              L" ms (" + ErrorText(lock.Error()) + L")";
    // The document as it is now (it is replaced whole, so it reads without the lock), else as last seen.
    const DocumentLoad load = LoadPrefixDocument(path_, &document);
    RefuseUnusable(load);
    if (load.state != DocumentState::kLoaded) {
      auto guard = table_lock_.Lock();
      document = document_;
    }
  }
  PrefixMap unsaved;
  {
    auto guard = table_lock_.Lock();
    unsaved = unsaved_;
  }
  for (const std::wstring& key : Overlay(document, unsaved)) {
    ModuleLog().Error(L"The medium-id key %s, given here to '%s' while the prefixes could not be saved, was given "
                      L"to '%s' by another process; it is routed to '%s' in this process only",
                      key.c_str(), unsaved[key].satellite.c_str(), document.table[key].satellite.c_str(),
                      unsaved[key].satellite.c_str());
  }
  std::wstring key;
  if (entry) {
    key = KeyFor(document.table, entry->satellite);
    unsaved[key] = *entry;
    document.Put(key, std::move(*entry));
  }
  const std::string text = PrintPrefixDocument(document);
  if (text.size() > kLargestDocument) {
    throw WideError(L"the document would grow to " + std::to_wstring(text.size()) +
                    L" bytes, more than can be loaded again; nothing is saved");
  }
  DWORD error = ERROR_SUCCESS;
  const bool saved = failure.empty() && ReplaceDocument(path_, text, &error);
  if (saved) {
    lock.WriteNote("");
  } else {
    if (failure.empty()) failure = L"cannot replace " + path_ + L" (" + ErrorText(error) + L")";
    // The other processes take these in before they choose a key.
    if (lock.Held() && !lock.WriteNote(text)) failure += L", nor leave the keys in " + DocumentLock::LockPath(path_);
  }
  const std::optional<Stamp> stamp = StampOf(path_);
  size_t left = 0;
  {
    auto guard = table_lock_.Lock();
    if (saved) {
      for (auto it = unsaved.begin(); it != unsaved.end();) {
        const auto found = document.table.find(it->first);
        it = found != document.table.end() && found->second.satellite == it->second.satellite ? unsaved.erase(it)
                                                                                               : std::next(it);
      }
      stamp_ = stamp;
    }
    unsaved_.swap(unsaved);
    document_ = std::move(document);
    left = unsaved_.size();
  }
  if (!saved) {
    ModuleLog().Error(L"The medium-id prefixes cannot be saved: %s. The %u keys registered here since the last save "
                      L"are answered and routed from memory, and saved by the next registration or at Close",
                      failure.c_str(), static_cast<unsigned>(left));
  }
  return key;
}

}  // namespace zel::media
