#pragma once

#include <windows.h>

#include <string>

#include "common/unique_handle.h"

namespace zel::media {

// Exclusive hold on a document across every process that shares its folder: the file
// `document` + ".lock" beside it, opened without any sharing. The lock is a property of the
// folder itself, so processes that spell the path differently (short names, another drive
// mapping, a linked folder) still meet; it needs no privilege and works across sessions; and the
// system closes the handle of a process that dies, so a crashed holder never leaves it taken.
// (A named mutex derived from the path text has none of these.) The lock file stays in place.
class DocumentLock {
 public:
  // Tries for up to `wait_ms` while another process holds it. Held() tells whether it was taken.
  DocumentLock(const std::wstring& document, DWORD wait_ms);
  DocumentLock(const DocumentLock&) = delete;
  DocumentLock& operator=(const DocumentLock&) = delete;

  bool Held() const noexcept { return static_cast<bool>(file_); }
  // Why it was not taken (the last open's error).
  DWORD Error() const noexcept { return error_; }

  static std::wstring LockPath(const std::wstring& document) { return document + L".lock"; }

 private:
  UniqueFile file_;
  DWORD error_ = ERROR_SUCCESS;
};

}  // namespace zel::media
