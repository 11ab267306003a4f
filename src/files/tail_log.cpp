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
#include <string_view>
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

bool IsContinuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Drops what a cut left of a UTF-8 character: the continuation bytes at the start of a read that
// began inside the file, and a lead byte without all its continuation bytes at the end (a writer
// still busy with its line). Only where the line then is well-formed UTF-8: the bytes of a log in
// the ANSI code page stay as they are.
void DropCutCharacters(std::string* text, bool cut_at_start) {
  const size_t first_end = std::min(text->find('\n'), text->size());
  size_t lead = 0;
  while (cut_at_start && lead < 3 && lead < first_end && IsContinuation((*text)[lead])) ++lead;
  if (lead > 0 && !IsUtf8(std::string_view(*text).substr(0, first_end)) &&
      IsUtf8(std::string_view(*text).substr(lead, first_end - lead))) {
    text->erase(0, lead);
  }
  const size_t last_start = text->rfind('\n') == std::string::npos ? 0 : text->rfind('\n') + 1;
  const std::string_view last = std::string_view(*text).substr(last_start);
  const size_t whole = WithoutCutUtf8End(last);
  if (whole < last.size() && !IsUtf8(last) && IsUtf8(last.substr(0, whole))) text->resize(last_start + whole);
}

// Line by line, so that a log that older versions began in the ANSI code page reads right on both
// sides of the change.
std::wstring TextOfLines(const std::string& text) {
  std::wstring out;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    out += Utf8OrAnsiToWide(std::string_view(text).substr(start, end - start));
    if (end < text.size()) out += L'\n';
    start = end + 1;
  }
  return out;
}

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
    DropCutCharacters(&*tail.text, request.limit <= size && count < size);
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
  ScopedVariant text = tail.text ? answer::String(TextOfLines(*tail.text)) : answer::NullString();
  answer::List(answer::Long(tail.size), answer::Long(length), std::move(text)).ReleaseInto(output);
  return tail.code;
}

}  // namespace zel::files
