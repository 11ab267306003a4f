#include "search/answer_reader.h"

#include <algorithm>
#include <utility>

#include "common/module_log.h"
#include "common/module_thread.h"
#include "common/tk_section.h"
#include "common/unique_handle.h"

namespace zel::search {
namespace {

constexpr DWORD kReadBytes = 4096;

// What the reader has read so far, shared with the caller that waits for it.
struct AnswerSoFar {
  TkSection lock;
  std::string bytes;   // guarded by lock
  bool taken = false;  // guarded by lock: the caller has taken the bytes, the reader stops
  UniqueKernelHandle ended{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

void ReadAnswer(CMyHttpRequest& request, size_t max_bytes, ULONGLONG deadline, AnswerSoFar& so_far) {
  std::string chunk(kReadBytes, '\0');
  for (LONG offset = 0;;) {
    DWORD count = 0;
    if (!request.Read(chunk.data(), offset, kReadBytes, &count, deadline) || count == 0) return;
    offset += static_cast<LONG>(count);
    auto guard = so_far.lock.Lock();
    if (so_far.taken) return;
    const size_t room = max_bytes - so_far.bytes.size();
    so_far.bytes.append(chunk, 0, std::min<size_t>(count, room));
    if (count > room) {
      ModuleLog().Warn(L"GoogleDesktopSearch: answer cut at %u bytes", static_cast<unsigned>(max_bytes));
      return;
    }
  }
}

}  // namespace

std::string ReadAnswerWithin(std::shared_ptr<CMyHttpRequest> request, size_t max_bytes, DWORD deadline_ms) {
  const ULONGLONG deadline = ::GetTickCount64() + deadline_ms;
  auto so_far = std::make_shared<AnswerSoFar>();
  // The thread holds the only reference to the request, so that its close happens there.
  const UniqueKernelHandle reader =
      StartModuleThread([request = std::move(request), so_far, max_bytes, deadline]() mutable {
        ReadAnswer(*request, max_bytes, deadline, *so_far);
        ::SetEvent(so_far->ended.Get());
        request.reset();
      });
  if (!reader) {
    ModuleLog().Warn(L"GoogleDesktopSearch: no thread to read the answer (error %u)",
                     static_cast<unsigned>(::GetLastError()));
    return std::string();
  }
  const ULONGLONG now = ::GetTickCount64();
  if (::WaitForSingleObject(so_far->ended.Get(), now < deadline ? static_cast<DWORD>(deadline - now) : 0) !=
      WAIT_OBJECT_0) {
    ModuleLog().Warn(L"GoogleDesktopSearch: answer cut after %u ms", static_cast<unsigned>(deadline_ms));
  }
  auto guard = so_far->lock.Lock();
  so_far->taken = true;
  return std::move(so_far->bytes);
}

}  // namespace zel::search
