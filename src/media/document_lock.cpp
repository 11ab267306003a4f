#include "media/document_lock.h"

#include <algorithm>
#include <cstdint>

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

std::string DocumentLock::ReadNote() {
  LARGE_INTEGER size{};
  if (!file_ || !::GetFileSizeEx(file_.Get(), &size) || size.QuadPart <= 0 ||
      static_cast<uint64_t>(size.QuadPart) > kLargestNote) {
    return {};
  }
  std::string note(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(file_.Get(), start, nullptr, FILE_BEGIN) ||
      !::ReadFile(file_.Get(), note.data(), static_cast<DWORD>(note.size()), &got, nullptr)) {
    return {};
  }
  note.resize(got);
  return note;
}

bool DocumentLock::WriteNote(const std::string& note) {
  if (!file_ || note.size() > kLargestNote) return false;
  LARGE_INTEGER start{};
  DWORD written = 0;
  return ::SetFilePointerEx(file_.Get(), start, nullptr, FILE_BEGIN) && ::SetEndOfFile(file_.Get()) &&
         (note.empty() || (::WriteFile(file_.Get(), note.data(), static_cast<DWORD>(note.size()), &written, nullptr) &&
                           written == note.size() && ::FlushFileBuffers(file_.Get())));
}

}  // namespace zel::media
