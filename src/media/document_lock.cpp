#include "media/document_lock.h"

#include <algorithm>

namespace zel::media {

DocumentLock::DocumentLock(const std::wstring& document, DWORD wait_ms) {
  const std::wstring path = LockPath(document);
  const ULONGLONG deadline = ::GetTickCount64() + wait_ms;
  DWORD pause = 1;
  for (;;) {
    file_.Reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file_) return;
    error_ = ::GetLastError();
    // Another holder shows as a sharing violation; a lock file another process is just creating
    // may briefly deny access. Anything else will not pass by waiting.
    if (error_ != ERROR_SHARING_VIOLATION && error_ != ERROR_ACCESS_DENIED) return;
    if (::GetTickCount64() >= deadline) return;
    ::Sleep(pause);
    pause = std::min<DWORD>(pause * 2, 20);
  }
}

}  // namespace zel::media
