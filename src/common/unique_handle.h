#pragma once

#include <windows.h>
#include <wininet.h>
#include <io.h>
#include <objbase.h>

#include <utility>

namespace zel {

// One owner for a platform handle, in the manner of WIL's unique_any: the traits name the invalid
// value and the close function. Closing keeps GetLastError() intact so that a failure can still be
// read after the handle's scope has ended.
template <class Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  ~UniqueHandle() { Reset(); }

  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  void Reset(Handle handle = Traits::Invalid()) noexcept {
    if (IsValid()) {
      const DWORD error = ::GetLastError();
      Traits::Close(handle_);
      ::SetLastError(error);
    }
    handle_ = handle;
  }

  // Gives up ownership, as ScopedVariant::Release does; the caller must close the handle.
  [[nodiscard]] Handle Release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  // For out-parameters: closes the held handle and hands out the address to be filled.
  Handle* Receive() noexcept {
    Reset();
    return &handle_;
  }

  Handle Get() const noexcept { return handle_; }
  bool IsValid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return IsValid(); }

 private:
  Handle handle_;
};

struct KernelHandleTraits {  // events, threads, processes: null when absent
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE when absent
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};

struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::FindClose(h); }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::RegCloseKey(h); }
};

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};

struct InternetHandleTraits {  // WinINet session, connection and request handles: null when absent
  using Handle = HINTERNET;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::InternetCloseHandle(h); }
};

struct CrtFileTraits {  // runtime-library file descriptors (_wsopen_s): -1 when absent
  using Handle = int;
  static Handle Invalid() noexcept { return -1; }
  static void Close(Handle h) noexcept { ::_close(h); }
};

struct LocalMemoryTraits {  // LocalAlloc blocks, as FormatMessageW's allocated buffers: null when absent
  using Handle = HLOCAL;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { ::LocalFree(h); }
};

struct ComApartmentTraits {  // a thread's membership of a COM apartment: CoUninitialize leaves it
  using Handle = bool;
  static Handle Invalid() noexcept { return false; }
  static void Close(Handle) noexcept { ::CoUninitialize(); }
};

using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;
using UniqueFile = UniqueHandle<FileHandleTraits>;
using UniqueFind = UniqueHandle<FindHandleTraits>;
using UniqueRegKey = UniqueHandle<RegKeyTraits>;
using UniqueModule = UniqueHandle<ModuleTraits>;
using UniqueInternetHandle = UniqueHandle<InternetHandleTraits>;
using UniqueCrtFile = UniqueHandle<CrtFileTraits>;
using UniqueLocalMemory = UniqueHandle<LocalMemoryTraits>;
using UniqueComApartment = UniqueHandle<ComApartmentTraits>;

// Joins the calling thread to the multithreaded apartment until the result goes.
inline UniqueComApartment JoinMultithreadedApartment() noexcept {
  return UniqueComApartment(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
}

}  // namespace zel
