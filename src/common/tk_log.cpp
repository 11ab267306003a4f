#include "common/tk_log.h"

#include <cwchar>
#include <optional>
#include <string_view>
#include <utility>

#include "common/product_folders.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/unique_handle.h"

namespace zel {
namespace {

constexpr const wchar_t* kLevelNames[] = {L"FATAL", L"ERROR", L"WARN", L"INFO", L"DEBUG"};
constexpr size_t kPathChars = MAX_PATH;  // every path is limited to a 260-character buffer

const wchar_t* LevelName(int level) {
  return level >= 0 && level <= 4 ? kLevelNames[level] : L"";
}

int ReadRegistryLevel(int fallback) {
  const std::optional<DWORD> level = ReadRegistryDword(HKEY_LOCAL_MACHINE, L"Software\\ROD Ezeduduv\\Zel", L"LogLevel");
  return level ? static_cast<int>(*level) : fallback;
}

// Size of the file at `path`, creating it if missing; -1 when it cannot be opened.
long long SizeOrCreate(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.Get(), &size)) return -1;
  return size.QuadPart;
}

void CopyToBack(const std::wstring& path) {
  const std::wstring back = path + L".back";
  if (back.size() < kPathChars) ::CopyFileW(path.c_str(), back.c_str(), FALSE);
}

// Shared for reading and writing, as other programs write the same logs; each line goes to the end
// of the file as it is when the line is written.
UniqueFile OpenForAppend(const std::wstring& path) {
  if (path.size() >= kPathChars) return UniqueFile();
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

BOOL WriteWithWriteFile(HANDLE file, const void* bytes, DWORD size, DWORD* written) {
  return ::WriteFile(file, bytes, size, written, nullptr);
}

// Appends `bytes` whole or not at all: a write that stops part-way (a full disk) is cut back off
// the file, so that no torn line stays for the next one to be glued to.
void AppendWhole(HANDLE file, const std::string& bytes, CTkLog::LineWriter writer) {
  LARGE_INTEGER end{};
  if (!::SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END)) return;
  DWORD written = 0;
  if (writer(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written) && written == bytes.size()) return;
  if (::SetFilePointerEx(file, end, nullptr, FILE_BEGIN)) ::SetEndOfFile(file);
}

}  // namespace

CTkLog::CTkLog(const wchar_t* file_name, bool with_process_id)
    : with_process_id_(with_process_id),
      file_name_(file_name != nullptr ? file_name : L""),
      process_id_(::GetCurrentProcessId()),
      level_(ReadRegistryLevel(kError)),
      line_writer_(&WriteWithWriteFile) {}

CTkLog::~CTkLog() = default;

void CTkLog::SetLineWriter(LineWriter writer) {
  auto guard = lock_.Lock();
  line_writer_ = writer != nullptr ? writer : &WriteWithWriteFile;
}

#define ZEL_LOG_FORWARD(level)         \
  va_list args;                        \
  va_start(args, format);              \
  Write(format, args, (level));        \
  va_end(args)

void CTkLog::Debug(const wchar_t* format, ...) { ZEL_LOG_FORWARD(kDebug); }
void CTkLog::Info(const wchar_t* format, ...) { ZEL_LOG_FORWARD(kInfo); }
void CTkLog::Warn(const wchar_t* format, ...) { ZEL_LOG_FORWARD(kWarn); }
void CTkLog::Error(const wchar_t* format, ...) { ZEL_LOG_FORWARD(kError); }
void CTkLog::Trace(const wchar_t* format, ...) { ZEL_LOG_FORWARD(kDebug); }
void CTkLog::Log(int level, const wchar_t* format, ...) { ZEL_LOG_FORWARD(level); }

#undef ZEL_LOG_FORWARD

void CTkLog::Fatal(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  Write(format, args, kFatal);
  WriteError(format, copy);
  va_end(copy);
  va_end(args);
}

std::wstring CTkLog::MainPath() {
  auto guard = lock_.Lock();
  return main_.open ? main_.path : std::wstring();
}

std::wstring CTkLog::ErrorPath() {
  auto guard = lock_.Lock();
  return error_.open ? error_.path : std::wstring();
}

int CTkLog::FormatMainPrefix(wchar_t* buffer, size_t size, const SYSTEMTIME& t, int level,
                             bool with_process_id, DWORD process_id) {
  const int hundredths = t.wMilliseconds / 10;
  const int n = with_process_id
                    ? _snwprintf(buffer, size - 1, L"%04d/%02d/%02d %02d:%02d:%02d.%02d [%.16s] %u - ", t.wYear,
                                 t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, hundredths, LevelName(level),
                                 static_cast<unsigned>(process_id))
                    : _snwprintf(buffer, size - 1, L"%04d/%02d/%02d %02d:%02d:%02d.%02d [%.16s] - ", t.wYear,
                                 t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, hundredths, LevelName(level));
  buffer[size - 1] = L'\0';
  return n < 0 ? static_cast<int>(size - 1) : n;
}

int CTkLog::FormatErrorPrefix(wchar_t* buffer, size_t size, const SYSTEMTIME& t, const wchar_t* program_name) {
  const int n = _snwprintf(buffer, size - 1, L"%04d/%02d/%02d %02d:%02d:%02d.%02d - %.1998s - ", t.wYear, t.wMonth,
                           t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds / 10, program_name);
  buffer[size - 1] = L'\0';
  return n < 0 ? static_cast<int>(size - 1) : n;
}

int CTkLog::AppendMessage(wchar_t* line, int prefix_length, const wchar_t* format, va_list args) {
  const size_t room = kLineChars - 1 - static_cast<size_t>(prefix_length);
  const int n = _vsnwprintf(line + prefix_length, room, format, args);
  if (n < 0 || static_cast<size_t>(n) >= room) {  // cut to fit: prefix and message fill 2047
    line[kLineChars - 1] = L'\0';
    return static_cast<int>(kLineChars - 1);
  }
  line[prefix_length + n] = L'\0';
  return prefix_length + n;
}

void CTkLog::Write(const wchar_t* format, va_list args, int level) {
  if (level > level_) return;
  auto guard = lock_.Lock();
  if (!initialised_) InitializeLocked();
  if (!main_.open || !main_.file) return;

  wchar_t line[kLineChars];
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const int prefix = FormatMainPrefix(line, kLineChars, now, level, with_process_id_, process_id_);
  Emit(main_, line, AppendMessage(line, prefix, format, args));
}

void CTkLog::WriteError(const wchar_t* format, va_list args) {
  auto guard = lock_.Lock();
  if (!initialised_) InitializeLocked();
  if (!error_.open || !error_.file) return;

  wchar_t line[kLineChars];
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  const int prefix = FormatErrorPrefix(line, kLineChars, now, program_name_.c_str());
  Emit(error_, line, AppendMessage(line, prefix, format, args));
}

void CTkLog::InitializeLocked() {
  initialised_ = true;
  const std::optional<std::wstring> logs = GetProductFolder(ProductFolder::kLogs);
  if (!logs) return;  // no folder: every line is dropped

  wchar_t exe[kPathChars] = {};
  const DWORD exe_length = ::GetModuleFileNameW(nullptr, exe, kPathChars);
  std::wstring_view program(exe, exe_length < kPathChars ? exe_length : 0);
  program = program.substr(program.find_last_of(L"\\/") + 1);  // npos + 1 == 0
  program_name_ = std::wstring(program.substr(0, program.find(L'.')));

  const std::wstring folder = *logs + L'\\';

  main_.base = folder + (file_name_.empty() ? program_name_ + L".log" : file_name_);
  main_.open = OpenWithFallback(main_, true);
  error_.base = folder + L"VizOderiv.log";
  error_.open = OpenWithFallback(error_, true);
}

bool CTkLog::OpenWithFallback(Stream& stream, bool rotate_at_start) {
  for (int i = 0; i <= 9; ++i) {
    const std::wstring candidate = i == 0 ? stream.base : stream.base + std::to_wstring(i);
    if (candidate.size() >= kPathChars) return false;
    if (rotate_at_start) {
      const long long size = SizeOrCreate(candidate);
      if (size < 0) continue;
      if (size > kRotateSize) {
        CopyToBack(candidate);
        ::DeleteFileW(candidate.c_str());
        stream.count = 0;
      } else {
        stream.count = static_cast<long>(size);
      }
    }
    if (UniqueFile file = OpenForAppend(candidate)) {
      stream.file = std::move(file);
      stream.path = candidate;
      return true;
    }
  }
  return false;
}

void CTkLog::RotateRunning(Stream& stream) {
  stream.file.Reset();
  CopyToBack(stream.path);
  // Empty the file, then append to it again; if it has meanwhile become unusable, fall back to the
  // numbered names as at start.
  UniqueFile truncate(::CreateFileW(stream.path.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, TRUNCATE_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  truncate.Reset();
  stream.file = OpenForAppend(stream.path);
  if (!stream.file) stream.open = OpenWithFallback(stream, false);
}

void CTkLog::Emit(Stream& stream, const wchar_t* line, int length) {
  stream.count += length + 2;
  if (stream.count >= kRotateSize) {
    stream.count = length + 2;
    RotateRunning(stream);
    if (!stream.file) return;
  }
  std::string utf8 = WideToUtf8(std::wstring_view(line, static_cast<size_t>(length)));
  utf8 += "\r\n";
  AppendWhole(stream.file.Get(), utf8, line_writer_);
}

}  // namespace zel
