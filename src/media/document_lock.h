#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/unique_handle.h"

namespace zel::media {

// Exclusive hold on a document across every process that shares its folder: the file
// `document` + ".lock" beside it, opened without any sharing. The lock is a property of the
// folder itself, so processes that spell the path differently (short names, another drive
// mapping, a linked folder) still meet; it needs no privilege and works across sessions; and the
// system closes the handle of a process that dies, so a crashed holder never leaves it taken.
// (A named mutex derived from the path text has none of these.) The lock file stays in place.
//
// Only the holder can open the lock file, so it is also where the holder leaves a note for the
// next one: the entries it could not save into the document (read-only, disk full), which the
// next holder takes in before it chooses a key, so that no key is given twice meanwhile.
class DocumentLock {
 public:
  // Tries for up to `wait_ms` while another process holds it. Held() tells whether it was taken.
  DocumentLock(const std::wstring& document, DWORD wait_ms);
  DocumentLock(const DocumentLock&) = delete;
  DocumentLock& operator=(const DocumentLock&) = delete;

  bool Held() const noexcept { return static_cast<bool>(file_); }
  // Why it was not taken (the last open's error).
  DWORD Error() const noexcept { return error_; }

  // The note the last holder left; empty when there is none or it cannot be read.
  std::string ReadNote();
  // Replaces the note ("" removes it). False when it could not be written whole.
  bool WriteNote(const std::string& note);

  static std::wstring LockPath(const std::wstring& document) { return document + L".lock"; }

 private:
  static constexpr uint64_t kLargestNote = 32u << 20;  // a whole document at most

  UniqueFile file_;
  DWORD error_ = ERROR_SUCCESS;
};

}  // namespace zel::media
