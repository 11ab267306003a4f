#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "common/tk_section.h"

namespace zelhost {

// The archives that the gateway had made ("CreateZip", "ZipLogs") and that only it knows of: each
// is deleted once its download ends (whatever its outcome), when nobody fetches it in time, or at
// the latest when the shelf goes with the gateway. An archive can be as large as the files it
// holds; one left behind for every forgotten address would fill the disk.
class ArchiveShelf {
 public:
  struct Archive {
    std::wstring path;
    uint64_t size = 0;
    std::string name;
  };
  using Remover = std::function<void(const std::wstring& path)>;
  using Clock = std::function<ULONGLONG()>;  // milliseconds

  static constexpr ULONGLONG kKeepMs = 10 * 60 * 1000;

  // `remove` deletes an archive (the gateway asks the module's "DeleteTempFile"); it is called
  // without the shelf's lock, from the caller's thread or from the shelf's own sweeper.
  explicit ArchiveShelf(Remover remove, ULONGLONG keep_ms = kKeepMs, Clock clock = ::GetTickCount64);
  // Deletes every archive still on the shelf or out for download.
  ~ArchiveShelf();
  ArchiveShelf(const ArchiveShelf&) = delete;
  ArchiveShelf& operator=(const ArchiveShelf&) = delete;

  // Keeps an archive for its download; the id that takes it.
  std::string Shelve(Archive archive);
  // The archive with this id, now out for download (an id takes its archive once); none when no
  // archive has it, or its time ran out.
  std::optional<Archive> Take(const std::string& id);
  // An archive whose download starts at once, without a stay on the shelf.
  void Hold(const std::wstring& path);
  // The download of a taken or held archive ended: it is deleted.
  void Release(const std::wstring& path);
  // Deletes the shelved archives whose time ran out; how many. The sweeper calls it.
  size_t DeleteExpired();

 private:
  struct Shelved {
    Archive archive;
    ULONGLONG expires = 0;
  };

  void Sweep();

  const Remover remove_;
  const ULONGLONG keep_ms_;
  const Clock clock_;
  zel::TkSection lock_;
  std::condition_variable_any changed_;
  bool stopping_ = false;                  // guarded by lock_
  std::map<std::string, Shelved> shelf_;   // by id; guarded by lock_
  std::multiset<std::wstring> out_;        // out for download; guarded by lock_
  std::thread sweeper_;
};

}  // namespace zelhost
