#include "files/file_transfer.h"

#include <algorithm>
#include <string>

#include "common/answer.h"
#include "common/long_path.h"
#include "common/module_log.h"
#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/unique_handle.h"
#include "common/request_input.h"
#include "common/vutil.h"

namespace zel::files {
namespace {

constexpr unsigned long long kLargestRange = 0xFFFFFFFFull;  // a byte array holds less than 4 GiB
// The platform sizes an array in 32 bits with its header added, so a byte array within a few bytes
// of 4 GiB would wrap to a tiny block; no 32-bit process obtains a buffer that large anyway.
constexpr unsigned long long kLargestBuffer = 0xFFFF0000ull;

// Offset and maximum: 32-bit values are widened with their sign, so VT_UI4 2147483648 is negative.
long long ReadRangeValue(const VARIANT& element, const wchar_t* wrong_type) {
  switch (V_VT(&element)) {
    case VT_I4:
      return V_I4(&element);
    case VT_UI4:
      return static_cast<LONG>(V_UI4(&element));
    case VT_I8:
      return V_I8(&element);
    case VT_UI8:
      return static_cast<long long>(V_UI8(&element));
    default:
      throw WideError::Input(wrong_type);
  }
}

// Opens a disk file for reading while others may read, write or delete it. Devices, pipes and
// consoles are refused: a read from them could block the request forever.
UniqueFile OpenDiskFile(const std::wstring& path) {
  UniqueFile file(::CreateFileW(FileSystemPath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (file && ::GetFileType(file.Get()) != FILE_TYPE_DISK) file.Reset();
  return file;
}

// Reads up to `length` bytes at the file's position into `buffer`; false on a read error.
bool ReadFully(HANDLE file, unsigned char* buffer, unsigned long long length, unsigned long long* total) {
  *total = 0;
  while (*total < length) {
    const DWORD want = static_cast<DWORD>(std::min<unsigned long long>(length - *total, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(file, buffer + *total, want, &got, nullptr)) return false;
    if (got == 0) break;
    *total += got;
  }
  return true;
}

}  // namespace

FileInfoRequest DecodeFileInfoRequest(const VARIANT& input) {
  return {input::Elements(input).VariantString(0).Value()};
}

FileRangeRequest DecodeFileRangeRequest(const VARIANT& input) {
  const input::Elements elements(input);
  FileRangeRequest request;
  request.path = elements.String(0).Value();
  const LONG count = elements.Length();
  if (count > 1) request.offset = ReadRangeValue(elements.At(1), L"Error, the offset must be a VT_I4 or VT_I8");
  if (count > 2) request.maximum = ReadRangeValue(elements.At(2), L"Error, the maxLength must be a VT_I4 or VT_I8");
  return request;
}

LONG GetFileInfo(const FileInfoRequest& request, VARIANT& output) {
  const std::wstring& path = request.path;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(FileSystemPath(path).c_str(), GetFileExInfoStandard, &data)) {
    ModuleLog().Debug(L"GetFileInfo: problem reading file info for %ls", path.c_str());
    return -1;
  }
  const auto size = static_cast<LONGLONG>((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  answer::List(answer::LongLong(size)).ReleaseInto(output);
  return 0;
}

LONG GetFile(const FileRangeRequest& request, VARIANT& output) {
  const std::wstring& path = request.path;
  long long offset = request.offset;
  long long maximum = request.maximum;
  if (offset < 0) offset = 0;
  if (maximum < 0) maximum = 0;
  ModuleLog().Info(L"GetFile %ls, offset: %I64d, maxBytes: %I64d", path.c_str(), offset, maximum);

  UniqueFile file = OpenDiskFile(path);
  if (!file) {
    ModuleLog().Debug(L"Can't open file");
    return 404;
  }
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.Get(), &size)) {
    ModuleLog().Debug(L"Can't read file");
    return 404;
  }
  if (offset > size.QuadPart) offset = size.QuadPart;
  const unsigned long long remaining = size.QuadPart - offset;
  const unsigned long long length = maximum > 0 ? maximum : remaining;
  if (length > kLargestRange) return 8;
  // The buffer holds what can be read, never more: the client's maximum alone sizes no memory.
  const unsigned long long wanted = std::min(length, remaining);

  // The byte array itself is the read buffer, so the bytes are read once and never copied.
  ScopedVariant bytes;
  SAFEARRAY* array =
      wanted <= kLargestBuffer ? ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(wanted)) : nullptr;
  if (array == nullptr) {
    ModuleLog().Error(L"Ran out of memory!");
    return 8;
  }
  V_VT(bytes.Get()) = VUtil::kByteArray;
  V_ARRAY(bytes.Get()) = array;

  unsigned long long read = 0;
  {
    SafeArrayDataLock lock(array);
    LARGE_INTEGER position;
    position.QuadPart = offset;
    if (wanted > 0 && !lock.Ok()) {
      ModuleLog().Error(L"Ran out of memory!");
      return 8;
    }
    if ((offset > 0 && !::SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN)) ||
        !ReadFully(file.Get(), static_cast<unsigned char*>(lock.Data()), wanted, &read)) {
      throw WideError(L"could not read " + path + L" (error " + std::to_wstring(::GetLastError()) + L")");
    }
  }
  file.Reset();
  if (read < wanted) {  // the file shrank meanwhile
    SAFEARRAYBOUND bound{static_cast<ULONG>(read), 0};
    if (FAILED(::SafeArrayRedim(array, &bound))) throw WideError(L"Could not redimension safe array");
  }
  bytes.ReleaseInto(output);
  return 0;
}

}  // namespace zel::files

