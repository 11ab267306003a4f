#include "files/host_info.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "common/module_log.h"
#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "common/vutil.h"
#include "common/wide_error.h"

namespace zel::files {
namespace {

constexpr const wchar_t* kZelKey = L"Software\\Rod Ezeduduv\\Zel";
constexpr const wchar_t* kConfigKey = L"Software\\Rod Ezeduduv\\Zel\\Config";
constexpr DWORD kVersionBytes = 1024;
constexpr DWORD kValueNameChars = 256;  // names of up to 255 characters
constexpr unsigned kTailPiece = 1u << 20;

std::optional<std::wstring> ReadVersion() {
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kZelKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (::RegQueryValueExW(key.Get(), L"Version", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::nullopt;
  }
  wchar_t text[kVersionBytes / sizeof(wchar_t)] = {};
  size = kVersionBytes;
  if (::RegQueryValueExW(key.Get(), L"Version", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  const size_t chars = size / sizeof(wchar_t);
  const size_t length = wcsnlen(text, chars);
  if (length == std::size(text)) return std::nullopt;  // no room left for the terminator
  return std::wstring(text, length);
}

// [month, day of week, week of month, time of day in milliseconds] of a zone's transition date.
void PutChangeRule(VARIANT& array, LONG index, const SYSTEMTIME& change) {
  ScopedVariant rule;
  VUtil::CreateArray(rule.Get(), VT_VARIANT, 4);
  const LONG values[4] = {change.wMonth, change.wDayOfWeek, change.wDay,
                          ((change.wHour * 60 + change.wMinute) * 60 + change.wSecond) * 1000 + change.wMilliseconds};
  for (LONG i = 0; i < 4; ++i) {
    ScopedVariant value;
    value.SetLong(values[i]);
    VUtil::PutElement(*rule, i, *value);
  }
  VUtil::PutElement(array, index, *rule);
}

// A null string is stored in place: copying a VARIANT, as SafeArrayPutElement does, may turn a
// null BSTR into an empty one.
void PutString(VARIANT& array, LONG index, const std::optional<std::wstring>& text) {
  ScopedVariant value;
  if (text) {
    value.SetString(*text);
    VUtil::PutElement(array, index, *value);
    return;
  }
  const LONG length = VUtil::GetArrayLength(array);
  SafeArrayDataLock lock(V_ARRAY(&array));
  if (V_VT(&array) != VUtil::kVariantArray || index < 0 || index >= length || !lock.Ok()) {
    throw WideError(L"SafeArrayPutElement failed");
  }
  VARIANT& slot = static_cast<VARIANT*>(lock.Data())[index];
  ::VariantClear(&slot);
  V_VT(&slot) = VT_BSTR;
  V_BSTR(&slot) = nullptr;
}

void PutLong(VARIANT& array, LONG index, LONG number) {
  ScopedVariant value;
  value.SetLong(number);
  VUtil::PutElement(array, index, *value);
}

std::wstring ZoneName(const wchar_t (&name)[32]) { return std::wstring(name, wcsnlen(name, 32)); }

// The tail's path and limit, as "my-ZEL_TailLog" is given them.
struct TailRequest {
  std::wstring path;
  DWORD limit = 0;
};

// Any integer or floating-point VARIANT; negative and oversized limits become the cap.
bool LimitOf(const VARIANT& value, DWORD* limit) {
  long double number = 0;
  switch (V_VT(&value)) {
    case VT_I1: number = V_I1(&value); break;
    case VT_I2: number = V_I2(&value); break;
    case VT_I4: number = V_I4(&value); break;
    case VT_INT: number = V_INT(&value); break;
    case VT_I8: number = V_I8(&value); break;
    case VT_UI1: number = V_UI1(&value); break;
    case VT_UI2: number = V_UI2(&value); break;
    case VT_UI4: number = V_UI4(&value); break;
    case VT_UINT: number = V_UINT(&value); break;
    case VT_UI8: number = V_UI8(&value); break;
    case VT_R4: number = V_R4(&value); break;
    case VT_R8: number = V_R8(&value); break;
    default: return false;
  }
  if (std::isnan(number)) return false;
  *limit = number < 0 || number > host_info::kTailCap ? host_info::kTailCap : static_cast<DWORD>(number);
  return true;
}

TailRequest ReadTailRequest(const VARIANT& input) {
  TailRequest request;
  ScopedVariant element;
  VUtil::GetElement(input, 0, element.Get());
  if (element.Type() != VT_BSTR) throw WideError(L"the path is not a string");
  request.path = VUtil::StringOf(*element);
  VUtil::GetElement(input, 1, element.Get());
  if (!LimitOf(*element, &request.limit)) throw WideError(L"the limit is not a number");
  return request;
}

// A runtime-library file descriptor, closed at the end of the scope.
class CrtFile {
 public:
  explicit CrtFile(int fd) noexcept : fd_(fd) {}
  ~CrtFile() {
    if (fd_ != -1) _close(fd_);
  }
  CrtFile(const CrtFile&) = delete;
  CrtFile& operator=(const CrtFile&) = delete;
  int Get() const noexcept { return fd_; }

 private:
  int fd_;
};

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
  int fd = -1;
  if (_wsopen_s(&fd, request.path.c_str(), _O_RDONLY | _O_TEXT, _SH_DENYNO, 0) != 0) return tail;
  CrtFile file(fd);
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

// The text of one configuration value: REG_SZ as it stands, REG_DWORD as a signed number.
std::wstring ConfigText(DWORD type, const BYTE* data, DWORD size) {
  if (type == REG_SZ) {
    const auto* text = reinterpret_cast<const wchar_t*>(data);
    return std::wstring(text, wcsnlen(text, size / sizeof(wchar_t)));
  }
  if (type == REG_DWORD && size >= sizeof(DWORD)) {
    DWORD value = 0;
    std::memcpy(&value, data, sizeof(value));
    return std::to_wstring(static_cast<LONG>(value));
  }
  return std::wstring();
}

void BuildConfigArray(const std::map<std::wstring, std::wstring>& values, VARIANT* out) {
  ScopedVariant array;
  VUtil::CreateArray(array.Get(), VT_VARIANT, static_cast<LONG>(values.size()));
  LONG index = 0;
  for (const auto& [name, text] : values) {
    ScopedVariant pair;
    VUtil::CreateArray(pair.Get(), VT_BSTR, 2);
    ScopedVariant name_copy;
    ScopedVariant text_copy;
    name_copy.SetString(name);
    text_copy.SetString(text);
    VUtil::PutElement(*pair, 0, V_BSTR(name_copy.Get()));
    VUtil::PutElement(*pair, 1, V_BSTR(text_copy.Get()));
    VUtil::PutElement(*array, index++, *pair);
  }
  array.ReleaseInto(*out);
}

[[noreturn]] void RuntimeLibraryFault() {
  // A checked function of the runtime library given no place for its result: the runtime's
  // invalid-parameter handler decides what follows (the default one ends the process). A runtime
  // whose handler returns reports EINVAL instead; abort, the runtime's own way out, follows then.
  int* volatile no_descriptor = nullptr;
  _wsopen_s(no_descriptor, L"", _O_RDONLY, _SH_DENYNO, 0);
  std::abort();
}

void AccessViolation() {
  volatile int* volatile nowhere = nullptr;
  *nowhere = 2;
}

}  // namespace

namespace host_info {

VersionFacts CurrentVersionFacts() {
  VersionFacts facts;
  facts.version = ReadVersion();
  ::GetLocalTime(&facts.local_time);
  facts.zone_state = ::GetTimeZoneInformation(&facts.zone);
  return facts;
}

void BuildVersionArray(const VersionFacts& facts, VARIANT* out) {
  ScopedVariant array;
  VUtil::CreateArray(array.Get(), VT_VARIANT, 11);
  PutString(*array, 0, std::nullopt);
  PutString(*array, 1, facts.version);
  PutLong(*array, 2, facts.zone.Bias);
  ScopedVariant now;
  V_VT(now.Get()) = VT_DATE;
  SYSTEMTIME local = facts.local_time;
  if (!::SystemTimeToVariantTime(&local, &V_DATE(now.Get()))) V_DATE(now.Get()) = 0;
  VUtil::PutElement(*array, 3, *now);
  PutLong(*array, 4, static_cast<LONG>(facts.zone_state));
  PutString(*array, 5, ZoneName(facts.zone.StandardName));
  PutChangeRule(*array, 6, facts.zone.StandardDate);
  PutLong(*array, 7, facts.zone.StandardBias);
  PutString(*array, 8, ZoneName(facts.zone.DaylightName));
  PutChangeRule(*array, 9, facts.zone.DaylightDate);
  PutLong(*array, 10, facts.zone.DaylightBias);
  *out = array.Release();
}

}  // namespace host_info

LONG GetVersion(const VARIANT& input, VARIANT& output) {
  ScopedVariant result;
  host_info::BuildVersionArray(host_info::CurrentVersionFacts(), result.Get());
  result.ReleaseInto(output);
  return 0;
}

LONG TailLog(const VARIANT& input, VARIANT& output) {
  Tail tail;
  try {
    tail = ReadTail(ReadTailRequest(input));
  } catch (const WideError& error) {
    ModuleLog().Warn(L"my-ZEL_TailLog: %s", error.Message().c_str());
  }
  try {
    ScopedVariant result;
    VUtil::CreateArray(result.Get(), VT_VARIANT, 3);
    PutLong(*result, 0, tail.size);
    PutLong(*result, 1, tail.text ? static_cast<LONG>(tail.text->size()) : 0);
    PutString(*result, 2, tail.text ? std::optional<std::wstring>(AnsiToWide(*tail.text)) : std::nullopt);
    result.ReleaseInto(output);
  } catch (const WideError& error) {
    ModuleLog().Warn(L"my-ZEL_TailLog: %s", error.Message().c_str());
    return -1;
  }
  return tail.code;
}

LONG GetZelDataFolder(const VARIANT& input, VARIANT& output) {
  std::wstring folder;
  if (!GetCommonAppDataFolder(&folder)) return 1;
  ScopedVariant path;
  path.SetString(folder + L"\\RodEzeduduv");
  path.ReleaseInto(output);
  return 0;
}

LONG GetZelConfig(const VARIANT& input, VARIANT& output) {
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) return 0;
  DWORD largest_data = 0;
  if (::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &largest_data, nullptr, nullptr) != ERROR_SUCCESS) {
    return 0;
  }
  std::vector<BYTE> data(std::max<DWORD>(largest_data, 1));
  std::map<std::wstring, std::wstring> values;
  for (DWORD index = 0;; ++index) {
    wchar_t name[kValueNameChars];
    DWORD name_chars = kValueNameChars;
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(data.size());
    if (::RegEnumValueW(key.Get(), index, name, &name_chars, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
      break;
    }
    values[std::wstring(name, name_chars)] = ConfigText(type, data.data(), size);
  }
  try {
    ::VariantClear(&output);
    if (!values.empty()) BuildConfigArray(values, &output);
  } catch (const WideError& error) {
    ModuleLog().Warn(L"KroServiceGetConfig exception: %s", error.Message().c_str());
  }
  return 0;
}

LONG GenerateCrash(const VARIANT& input, VARIANT& output) {
  const LONG mode = V_VT(&input) == VT_I4 ? V_I4(&input) : 0;
  if (mode == 2) {
    ModuleLog().Error(L"GenerateCrash: handing the runtime library an invalid parameter, as asked");
    RuntimeLibraryFault();
  }
  ModuleLog().Error(L"GenerateCrash: writing through a null pointer, as asked (mode %d)", static_cast<int>(mode));
  AccessViolation();
  return 0;
}

}  // namespace zel::files
