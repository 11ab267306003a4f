#include "archive_shelf.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

#include "http_access.h"

namespace zelhost {

ArchiveShelf::ArchiveShelf(Remover remove, ULONGLONG keep_ms, Clock clock)
    : remove_(std::move(remove)), keep_ms_(keep_ms), clock_(std::move(clock)) {
  sweeper_ = std::thread([this] { Sweep(); });
}

ArchiveShelf::~ArchiveShelf() {
  std::vector<std::wstring> left;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    stopping_ = true;
    for (const auto& entry : shelf_) left.push_back(entry.second.archive.path);
    left.insert(left.end(), out_.begin(), out_.end());
    shelf_.clear();
    out_.clear();
  }
  changed_.notify_all();
  sweeper_.join();
  for (const std::wstring& path : left) remove_(path);
}

std::string ArchiveShelf::Shelve(Archive archive) {
  // Long enough that nobody guesses another client's address; short enough to read in a URL.
  const std::string id = MakeAccessToken().substr(0, 24);
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    shelf_[id] = {std::move(archive), clock_() + keep_ms_};
  }
  changed_.notify_all();
  return id;
}

std::optional<ArchiveShelf::Archive> ArchiveShelf::Take(const std::string& id) {
  std::lock_guard<zel::TkSection> lock(lock_);
  const auto found = shelf_.find(id);
  // One whose time ran out is the sweeper's, even if it has not come for it yet.
  if (found == shelf_.end() || found->second.expires <= clock_()) return std::nullopt;
  Archive archive = std::move(found->second.archive);
  shelf_.erase(found);
  out_.insert(archive.path);
  return archive;
}

void ArchiveShelf::Hold(const std::wstring& path) {
  std::lock_guard<zel::TkSection> lock(lock_);
  out_.insert(path);
}

void ArchiveShelf::Release(const std::wstring& path) {
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    const auto found = out_.find(path);
    // Not out any more: the shelf went, or deleted it already.
    if (found == out_.end()) return;
    out_.erase(found);
  }
  remove_(path);
}

size_t ArchiveShelf::DeleteExpired() {
  std::vector<std::wstring> expired;
  {
    std::lock_guard<zel::TkSection> lock(lock_);
    const ULONGLONG now = clock_();
    for (auto entry = shelf_.begin(); entry != shelf_.end();) {
      if (entry->second.expires <= now) {
        expired.push_back(entry->second.archive.path);
        entry = shelf_.erase(entry);
      } else {
        ++entry;
      }
    }
  }
  for (const std::wstring& path : expired) remove_(path);
  return expired.size();
}

void ArchiveShelf::Sweep() {
  std::unique_lock<zel::TkSection> lock(lock_);
  while (!stopping_) {
    // Until the first archive's time runs out, or something changes.
    ULONGLONG wait_ms = keep_ms_;
    const ULONGLONG now = clock_();
    for (const auto& entry : shelf_) wait_ms = std::min(wait_ms, entry.second.expires > now ? entry.second.expires - now : 0);
    if (wait_ms > 0) {
      changed_.wait_for(lock, std::chrono::milliseconds(wait_ms));
      continue;
    }
    lock.unlock();
    DeleteExpired();
    lock.lock();
  }
}

}  // namespace zelhost
