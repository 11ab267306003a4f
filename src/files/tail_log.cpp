#include "files/tail_log.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "common/answer.h"
#include "common/module_log.h"
#include "common/text.h"
#include "common/request_input.h"
#include "common/unique_handle.h"
#include "common/wide_error.h"

namespace zel::files {
namespace {

constexpr unsigned kTailPiece = 1u << 20;

struct Tail {
  LONG code = 404;
  LONG size = 0;
  std::optional<std::string> text;  // none: nothing could be read
};

// Reads at most `count` bytes from the descriptor's position into a buffer of exactly that size
// (plus the terminator), piece by piece so that a failing read still leaves what came before it.
std::optional<std::string> ReadText(int fd, DWORD count) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(count) + 1]);
  if (!buffer) {
    ModuleLog().Warn(L"my-ZEL_TailLog: no memory for %u bytes", static_cast<unsigned>(count));
    return std::nullopt;
  }
  DWORD got = 0;
  bool failed = false;
  while (got < count) {
    const int n = _read(fd, buffer.get() + got, std::min<DWORD>(count - got, kTailPiece));
    if (n < 0) {
      ModuleLog().Warn(L"my-ZEL_TailLog: read failed after %u bytes", static_cast<unsigned>(got));
      failed = true;
      break;
    }
    if (n == 0) break;  // end of file, or a Ctrl-Z
    got += static_cast<DWORD>(n);
  }
  buffer[got] = '\0';
  if (failed && got == 0) return std::nullopt;
  return std::string(buffer.get(), got);
}

Tail ReadTail(const TailRequest& request) {
  Tail tail;
  UniqueCrtFile file;
  if (_wsopen_s(file.Receive(), request.path.c_str(), _O_RDONLY | _O_TEXT, _SH_DENYNO, 0) != 0) return tail;
  const int fd = file.Get();
  // Only disk files: a read from a console, a pipe or a device could wait forever.
  if (::GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK) return tail;
  const long long size = _filelengthi64(fd);
  if (size < 0 || size > LONG_MAX) {
    tail.code = 403;
    return tail;
  }
  tail.code = 0;
  tail.size = static_cast<LONG>(size);
  const DWORD count = size == 0 ? request.limit : static_cast<DWORD>(std::min<long long>(size, request.limit));
  if (request.limit <= size && _lseeki64(fd, -static_cast<long long>(count), SEEK_END) < 0) {
    ModuleLog().Warn(L"my-ZEL_TailLog: cannot position %s", request.path.c_str());
    return tail;
  }
  tail.text = ReadText(fd, count);
  if (tail.text) {
    const size_t line_end = tail.text->find('\n');
    if (line_end != std::string::npos) tail.text->erase(0, line_end + 1);
  }
  return tail;
}

}  // namespace

TailRequest DecodeTailRequest(const VARIANT& input) {
  const input::Elements elements(input);
  TailRequest request;
  const VARIANT& path = elements.At(0);
  if (V_VT(&path) != VT_BSTR) throw WideError::Input(L"the path is not a string");
  request.path = input::Text::Of(path).Value();
  const std::optional<LONG> limit = input::ExactLong(elements.At(1));
  if (!limit) throw WideError::Input(L"the limit is not a number");
  request.limit = *limit < 0 || static_cast<DWORD>(*limit) > kTailCap ? kTailCap : static_cast<DWORD>(*limit);
  return request;
}

LONG TailLog(const TailRequest& request, VARIANT& output) {
  const Tail tail = ReadTail(request);
  const LONG length = tail.text ? static_cast<LONG>(tail.text->size()) : 0;
  ScopedVariant text = tail.text ? answer::String(AnsiToWide(*tail.text)) : answer::NullString();
  answer::List(answer::Long(tail.size), answer::Long(length), std::move(text)).ReleaseInto(output);
  return tail.code;
}

}  // namespace zel::files
