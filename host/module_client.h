#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/safearray_lock.h"
#include "common/scoped_variant.h"
#include "host_session.h"

namespace zelhost {

// How one call to the module ended: whether the broker delivered it, and the module's return code.
struct CallOutcome {
  HRESULT delivery = S_OK;  // S_OK when the request reached the module
  LONG rc = 0;
  bool Succeeded() const noexcept { return SUCCEEDED(delivery) && rc == 0; }
};

// A typed answer: `value` is set when the call succeeded and the output had the shape the service
// documents; a call that succeeded with any other output leaves it empty (an unusable answer).
template <class T>
struct ModuleAnswer : CallOutcome {
  std::optional<T> value;
};

// The bytes "GetFile" answered, read in place: the answer's array stays locked while they live.
class FileBytes {
 public:
  // Empty bytes when `answer` is an empty byte array; Ok() is false when it is no byte array.
  explicit FileBytes(zel::ScopedVariant answer);
  FileBytes(FileBytes&&) noexcept = default;
  FileBytes& operator=(FileBytes&&) noexcept = default;

  bool Ok() const noexcept { return ok_; }
  const char* Data() const noexcept { return data_; }
  size_t Size() const noexcept { return size_; }

 private:
  zel::ScopedVariant answer_;
  std::unique_ptr<zel::SafeArrayDataLock> lock_;  // moves with the answer, whose array stays put
  const char* data_ = nullptr;
  size_t size_ = 0;
  bool ok_ = false;
};

// A source "CreateZip" left out of its archive, and why.
struct LeftOut {
  std::wstring path;
  std::wstring why;
};

// An archive the module wrote ("CreateZip", "ZipLogs") in its temporary folder.
struct ArchiveAnswer {
  std::wstring path;
  uint64_t size = 0;
  std::vector<LeftOut> left_out;  // "CreateZip" only
};

// "my-ZEL_TailLog"'s answer.
struct LogTail {
  LONG file_size = 0;
  LONG length = 0;                  // bytes of text kept
  std::optional<std::wstring> text;  // nullopt: the module answered a null string (no text)
};

// "QueryFileSize"'s answer.
struct FileCount {
  LONG count = 0;
  uint64_t total = 0;
};

// The host's one way to talk to the module: a VARIANT in, a VARIANT out, through the session's
// broker under one requester name, plus typed calls for the services the host itself uses. JSON
// is not involved; json_variant.h converts only where JSON meets the module (the command line's
// `call`, `serve --stdio`, the gateway's /api/services). Safe to use from several threads at once.
class ModuleClient {
 public:
  ModuleClient(HostSession& session, std::wstring requester) : session_(session), requester_(std::move(requester)) {}

  // One request as it is: `output` receives the module's answer. `rc` is the code the request
  // starts with (the module leaves it as it is for a service it does not handle).
  CallOutcome Call(const wchar_t* service, VARIANT& input, zel::ScopedVariant* output, LONG rc = 0) const;
  // The same, under another requester's name.
  CallOutcome CallAs(const std::wstring& requester, const wchar_t* service, VARIANT& input, zel::ScopedVariant* output,
                     LONG rc = 0) const;

  ModuleAnswer<uint64_t> GetFileInfo(const std::wstring& path) const;
  // At most `maximum` bytes of `path` from `offset`.
  ModuleAnswer<FileBytes> GetFile(const std::wstring& path, uint64_t offset, uint64_t maximum) const;
  // An archive of the files behind `ids`; `first` is the request's element 0.
  ModuleAnswer<ArchiveAnswer> CreateZip(const std::vector<std::wstring>& ids, const std::wstring& first = L"") const;
  ModuleAnswer<FileCount> QueryFileSize(const std::vector<std::wstring>& ids, const std::wstring& first = L"") const;
  // The data folder, or its sub-folder `folder`, as one archive.
  ModuleAnswer<ArchiveAnswer> ZipLogs(const std::optional<std::wstring>& folder = std::nullopt) const;
  CallOutcome DeleteTempFile(const std::wstring& path) const;
  ModuleAnswer<LogTail> TailLog(const std::wstring& path, LONG limit) const;

 private:
  HostSession& session_;
  const std::wstring requester_;
};

}  // namespace zelhost
