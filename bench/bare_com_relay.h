#pragma once

// The platform's floor for a "GetFile" piece across processes, with nothing of ours in between.
// Across processes a piece crosses twice: the module answers it by reference to the broker in
// zelbroker.exe (the IDispatch marshaler), and the broker returns it to the host. Here the same
// two crossings are bare COM calls: this process calls Relay on an object in a child process (the
// same program started with "--bare-relay"), which calls back into a BytesMaker in this process
// for the bytes, by reference, and returns them; the child holds the BytesMaker from the start, as
// the broker holds the module's event sink. The child's object reaches this process as a
// marshaled interface written to a file: no class registration, no type library.

#include <windows.h>
#include <ole2.h>
#include <comdef.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "common/unique_handle.h"

namespace zelbench {

// Spelled out, since the host's headers may have declared the usual names already.
using StreamPtr = _com_ptr_t<_com_IIID<IStream, &__uuidof(IStream)>>;
using DispatchPtr = _com_ptr_t<_com_IIID<IDispatch, &__uuidof(IDispatch)>>;

constexpr DISPID kDispidCall = 1;
constexpr DISPID kDispidAttach = 2;

// Answers DISPID 1 with (size, [in, out] bytes): a new byte array of `size` bytes, touched, as the
// module's sink answers a piece read from the page cache.
class BytesMaker final : public BenchSink {
 protected:
  void OnEvent(DISPID id, DISPPARAMS& params) override {
    if (id != kDispidCall || params.cArgs != 2 || V_VT(&params.rgvarg[1]) != VT_I4 ||
        V_VT(&params.rgvarg[0]) != (VT_BYREF | VT_VARIANT)) {
      return;
    }
    const LONG size = V_I4(&params.rgvarg[1]);
    zel::ScopedVariant answer;
    V_ARRAY(answer.Get()) = ::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size));
    if (V_ARRAY(answer.Get()) == nullptr) return;
    V_VT(answer.Get()) = VT_ARRAY | VT_UI1;
    {
      zel::SafeArrayDataLock lock(V_ARRAY(answer.Get()));
      if (lock.Ok()) std::memset(lock.Data(), 0x5A, static_cast<size_t>(size));
    }
    answer.ReleaseInto(*V_VARIANTREF(&params.rgvarg[0]));
  }
};

// In the child: DISPID 2 with (maker) keeps `maker`; DISPID 1 with (size) asks it for the bytes and
// returns them.
class Relay final : public zel::ComObject<IDispatch> {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result, EXCEPINFO*, UINT*) override {
    if (id == kDispidAttach && params != nullptr && params->cArgs == 1 && V_VT(&params->rgvarg[0]) == VT_DISPATCH) {
      maker_ = V_DISPATCH(&params->rgvarg[0]);
      return S_OK;
    }
    if (id != kDispidCall || params == nullptr || params->cArgs != 1 || V_VT(&params->rgvarg[0]) != VT_I4 ||
        result == nullptr || maker_ == nullptr) {
      return DISP_E_BADPARAMCOUNT;
    }
    zel::ScopedVariant bytes;
    VARIANT arguments[2];
    V_VT(&arguments[0]) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&arguments[0]) = bytes.Get();
    V_VT(&arguments[1]) = VT_I4;
    V_I4(&arguments[1]) = V_I4(&params->rgvarg[0]);
    DISPPARAMS call = {arguments, nullptr, 2, 0};
    const HRESULT hr = maker_->Invoke(kDispidCall, IID_NULL, 0, DISPATCH_METHOD, &call, nullptr, nullptr, nullptr);
    if (SUCCEEDED(hr)) bytes.ReleaseInto(*result);
    return hr;
  }

  // Lets the maker go before the apartment ends.
  void Detach() { maker_ = nullptr; }

 private:
  DispatchPtr maker_;
};

// The child's whole life: marshal a Relay into `file`, serve until `event` is set.
inline int ServeRelay(const wchar_t* file, const wchar_t* event) {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  zel::UniqueKernelHandle done(::OpenEventW(SYNCHRONIZE, FALSE, event));
  const zel::ComOwner<Relay> relay = zel::MakeComObject<Relay>();
  StreamPtr stream;
  std::vector<char> bytes;
  if (done && SUCCEEDED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream)) &&
      SUCCEEDED(::CoMarshalInterface(stream, IID_IDispatch, static_cast<IDispatch*>(relay.get()), MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL))) {
    STATSTG stat{};
    LARGE_INTEGER start{};
    stream->Stat(&stat, STATFLAG_NONAME);
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    bytes.resize(static_cast<size_t>(stat.cbSize.QuadPart));
    ULONG got = 0;
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got);
    const std::wstring partial = std::wstring(file) + L".part";
    {
      zel::UniqueFile out(::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
      DWORD written = 0;
      if (out) ::WriteFile(out.Get(), bytes.data(), got, &written, nullptr);
    }
    ::MoveFileExW(partial.c_str(), file, MOVEFILE_REPLACE_EXISTING);  // whole, or not there
    ::WaitForSingleObject(done.Get(), INFINITE);
  }
  relay->Detach();
  return 0;
}

// In this process: the child and its Relay.
class RelayClient {
 public:
  RelayClient() {
    wchar_t program[MAX_PATH];
    ::GetModuleFileNameW(nullptr, program, MAX_PATH);
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
    const std::wstring event = L"zel-bench-relay-" + tag;
    file_ = TempPath((L"zel-bench-relay-" + tag + L".bin").c_str());
    ::DeleteFileW(file_.c_str());
    done_.Reset(::CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    std::wstring command = L"\"" + std::wstring(program) + L"\" --bare-relay \"" + file_ + L"\" " + event;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!done_ || !::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
      return;
    }
    child_.Reset(started.hProcess);
    zel::UniqueKernelHandle thread(started.hThread);
    for (int wait = 0; wait < 600 && relay_ == nullptr; ++wait) {  // up to a minute for Wine to start it
      ::Sleep(100);
      zel::UniqueFile in(::CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      LARGE_INTEGER size{};
      if (!in || !::GetFileSizeEx(in.Get(), &size) || size.QuadPart == 0) continue;
      std::vector<char> bytes(static_cast<size_t>(size.QuadPart));
      DWORD got = 0;
      StreamPtr stream;
      if (::ReadFile(in.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
          SUCCEEDED(::CreateStreamOnHGlobal(nullptr, TRUE, &stream)) &&
          SUCCEEDED(stream->Write(bytes.data(), got, nullptr))) {
        LARGE_INTEGER start{};
        stream->Seek(start, STREAM_SEEK_SET, nullptr);
        ::CoUnmarshalInterface(stream, IID_IDispatch, reinterpret_cast<void**>(&relay_));
      }
    }
    if (relay_ == nullptr) return;
    VARIANT maker;
    V_VT(&maker) = VT_DISPATCH;
    V_DISPATCH(&maker) = maker_.get();
    DISPPARAMS attach = {&maker, nullptr, 1, 0};
    if (FAILED(relay_->Invoke(kDispidAttach, IID_NULL, 0, DISPATCH_METHOD, &attach, nullptr, nullptr, nullptr))) relay_ = nullptr;
  }
  ~RelayClient() {
    relay_ = nullptr;
    if (done_) ::SetEvent(done_.Get());
    if (child_) ::WaitForSingleObject(child_.Get(), 10000);
    ::DeleteFileW(file_.c_str());
  }
  RelayClient(const RelayClient&) = delete;
  RelayClient& operator=(const RelayClient&) = delete;

  // MiB/s of `bytes` carried in pieces of `piece` bytes through both crossings; negative on failure.
  double MiBps(LONGLONG bytes, LONG piece) {
    if (relay_ == nullptr) return -1;
    const double start = Now();
    for (LONGLONG done = 0; done < bytes; done += piece) {
      VARIANT size;
      V_VT(&size) = VT_I4;
      V_I4(&size) = piece;
      DISPPARAMS call = {&size, nullptr, 1, 0};
      zel::ScopedVariant result;
      if (FAILED(relay_->Invoke(kDispidCall, IID_NULL, 0, DISPATCH_METHOD, &call, result.Get(), nullptr, nullptr)) ||
          V_VT(result.Get()) != (VT_ARRAY | VT_UI1)) {
        return -1;
      }
    }
    return bytes / (Now() - start) / (1 << 20);
  }

 private:
  std::wstring file_;
  zel::UniqueKernelHandle done_;
  zel::UniqueKernelHandle child_;
  const zel::ComOwner<BytesMaker> maker_ = zel::MakeComObject<BytesMaker>();
  DispatchPtr relay_;
};

}  // namespace zelbench
